// The framework's test classes, run one per CTest test by test_mfc.
#pragma once

#include <QObject>

#include <functional>
#include <map>
#include <memory>
#include <string>

namespace vlm::mfc::testing {

using SuiteFactory = std::function<std::unique_ptr<QObject>()>;
std::map<std::string, SuiteFactory>& Suites();

struct SuiteRegistration {
    SuiteRegistration(const char* name, SuiteFactory factory) { Suites()[name] = std::move(factory); }
};

}  // namespace vlm::mfc::testing

#define VLM_MFC_TEST_SUITE(name, Class)                                     \
    static const vlm::mfc::testing::SuiteRegistration registration_##Class( \
            name, [] { return std::make_unique<Class>(); })
