// The executive's event object type: named or handle-based events whose
// body is a KEVENT, waitable like any dispatcher object.
#include "ob/ob.h"

namespace {

POBJECT_TYPE ExpEventObjectType = vlm::nt::ob::CreateObjectType({"Event", nullptr, nullptr, true});

}  // namespace

POBJECT_TYPE* ExEventObjectType = &ExpEventObjectType;
