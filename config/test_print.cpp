// STEP 3: the test page through the current row's assigned port, opened as
// any serial program opens it; no serial settings are made.
#include "main_dlg.h"

#include "test_page.h"

void CVLMCONFIGDlg::OnTestPrint()
{
    CString port;
    if (!GetAssignedPort(port))
        return;
    // COM1 to COM9 open by their plain names; from COM10 on only the device
    // namespace names them.
    HANDLE file;
    if (port.GetLength() <= 4) {
        file = CreateFileA(port, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    } else {
        CString device;
        device.Format("\\\\.\\%s", static_cast<LPCTSTR>(port));
        file = CreateFileA(
                device, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    }
    if (file == INVALID_HANDLE_VALUE) {
        MessageBox("Setting Information does not update, ReAssign the Port", nullptr, MB_ICONEXCLAMATION);
        return;
    }
    auto blocks = TestPageBlocks(static_cast<LPCTSTR>(port));
    DWORD written = 0;
    if (!WriteFile(file, blocks[0].data(), static_cast<DWORD>(blocks[0].size()), &written, nullptr)) {
        CloseHandle(file);
        MessageBox("Printer test Failed!!!", nullptr, MB_ICONEXCLAMATION);
        return;
    }
    // The first block proved the port prints; the rest follow unchecked.
    for (size_t i = 1; i < blocks.size(); ++i)
        WriteFile(file, blocks[i].data(), static_cast<DWORD>(blocks[i].size()), &written, nullptr);
    CloseHandle(file);
    MessageBox("Printer Test Success!!!");
}
