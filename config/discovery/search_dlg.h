// The printer search ("Searching..."): broadcasts "FIND", collects the
// "IMIN" answers into the printer list in arrival order for about three
// seconds, and shows the progress and the number found.
#pragma once

#include "../stdafx.h"

#include "../res/resource.h"
#include "printer_record.h"
#include "udp_server.h"

#include <atomic>
#include <mutex>
#include <vector>

class CSearchDlg : public CDialog {
public:
    explicit CSearchDlg(CWnd* pParent = nullptr);

    enum { IDD = IDD_SEARCH };

    // Each tick of timer kTimerId, every kTickMs, counts kSearchMs down; the
    // tick that takes it below zero, the 31st, ends the search.
    static constexpr UINT_PTR kTimerId = 1000;
    static constexpr UINT kTickMs = 100;
    static constexpr int kSearchMs = 3000;

protected:
    void DoDataExchange(CDataExchange* pDX) override;
    BOOL OnInitDialog() override;
    void OnCancel() override;

    afx_msg void OnTimer(UINT_PTR nIDEvent);
    afx_msg void OnDestroy();
    DECLARE_MESSAGE_MAP()

    int m_remainingTime;  // ms
    int m_progressPos;
    CProgressCtrl m_progress;
    CUDPServer m_server;
    CString m_status;
    int m_found;  // records taken into the printer list by this search

private:
    // The endpoint's handler, on its receive thread.
    static void OnDatagram(const char* data, int length);
    // Moves the answers received so far into the printer list, in order,
    // and sets m_found to the list's count; the next UpdateData shows it.
    void TakeAnswers();

    // The search dialog that is running, for the endpoint's handler.
    static std::atomic<CSearchDlg*> s_current;

    // Answers the receive thread has handed over and the dialog thread has
    // not taken yet. The receive thread never touches a widget or the
    // printer list and never waits for the dialog thread: it appends here,
    // and the dialog's next tick takes them all.
    std::mutex m_inboxLock;  // guards m_inbox
    std::vector<PrinterRecord> m_inbox;
};
