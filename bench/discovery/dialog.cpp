#include "dialog.h"

#include "answer_flood.h"
#include "percentiles.h"

#include <main_dlg.h>
#include <printer_record.h>
#include <search_dlg.h>
#include <vlm/mfctest.h>

#include <QCoreApplication>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <vector>

namespace vlm::bench {
namespace {

using Clock = std::chrono::steady_clock;

double Ms(Clock::duration d)
{
    return std::chrono::duration<double, std::milli>(d).count();
}

// The search dialog, counting its ticks and noting when it ends.
class CountingSearchDlg : public CSearchDlg {
public:
    using CSearchDlg::CSearchDlg;

    int ticks = 0;
    int endTick = 0;
    Clock::time_point ended;

protected:
    afx_msg void OnTimer(UINT_PTR nIDEvent)
    {
        if (nIDEvent == kTimerId)
            ++ticks;
        CSearchDlg::OnTimer(nIDEvent);
    }
    void OnCancel() override
    {
        endTick = ticks;
        ended = Clock::now();
        CSearchDlg::OnCancel();
    }
    DECLARE_MESSAGE_MAP()
};

BEGIN_MESSAGE_MAP(CountingSearchDlg, CSearchDlg)
ON_WM_TIMER()
END_MESSAGE_MAP()

struct Round {
    int sent = 0;
    long drops = 0;
    int rows = 0;
    int endTick = 0;
    double endMs = 0;      // from the dialog's start to its end
    double listMs = 0;     // from the dialog's start to the main list rebuilt
    double rebuildMs = 0;  // the rebuild alone
};

// One search from the main dialog, as its STEP 1 runs it.
Round Search(CVLMCONFIGDlg& main, int answers)
{
    Round round;
    std::unique_ptr<vlm::test::AnswerFlood> flood;
    CountingSearchDlg search(&main);
    Clock::time_point started;
    vlm::mfc::test::WhenModal([&](CDialog&) {
        started = Clock::now();
        flood = std::make_unique<vlm::test::AnswerFlood>(answers, std::chrono::milliseconds(answers > 1 ? 500 : 0));
        // The queue's drops, counted while the endpoint's socket is there.
        const Clock::time_point limit = Clock::now() + std::chrono::seconds(3);
        while (!flood->Finished() && Clock::now() < limit)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        round.drops = vlm::test::UdpReceiveDrops(vlm::test::AnswerFlood::kToolPort);
    });
    search.DoModal();
    const Clock::time_point rebuild = Clock::now();
    main.RefreshPrinterList();
    QCoreApplication::processEvents();  // and painted
    const Clock::time_point listed = Clock::now();
    round.sent = flood->Wait();
    round.rows = static_cast<int>(main.GetDlgItem(IDC_PRINTER_LIST)->SendMessage(LVM_GETITEMCOUNT));
    round.endTick = search.endTick;
    round.endMs = Ms(search.ended - started);
    round.listMs = Ms(listed - started);
    round.rebuildMs = Ms(listed - rebuild);
    return round;
}

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return AtQuantile(values, 0.5);
}

}  // namespace

bool MeasureSearchDialog()
{
    std::printf("\nsearch dialog and main list: N answers within 0.5 s from one device (real clock, offscreen)\n");
    std::printf("%6s %6s %14s %6s %9s %10s %11s %10s %11s\n", "N", "rounds", "rows/sent", "drops", "end tick", "end ms",
            "rebuild ms", "list ms", "list max");
    const std::pair<int, int> plans[] = {{1, 3}, {250, 3}, {10000, 3}, {60000, 3}};
    bool allListed = true;
    CVLMCONFIGDlg main;
    vlm::mfc::test::WhenModal([&](CDialog&) {
        for (auto [answers, rounds] : plans) {
            long rows = 0, sent = 0, drops = 0;
            int lastTick = 0;
            std::vector<double> end, rebuild, list;
            for (int i = 0; i < rounds; ++i) {
                Round r = Search(main, answers);
                rows += r.rows;
                sent += r.sent;
                drops += r.drops;
                allListed = allListed && r.rows == r.sent - r.drops && r.rows == g_printerList.GetCount();
                lastTick = std::max(lastTick, r.endTick);
                end.push_back(r.endMs);
                rebuild.push_back(r.rebuildMs);
                list.push_back(r.listMs);
            }
            char listed[32];
            std::snprintf(listed, sizeof listed, "%ld/%ld", rows, sent);
            std::printf("%6d %6d %14s %6ld %9d %10.1f %11.1f %10.1f %11.1f\n", answers, rounds, listed, drops, lastTick,
                    Median(end), Median(rebuild), Median(list), *std::max_element(list.begin(), list.end()));
            std::fflush(stdout);
        }
        main.EndDialog(IDOK);
    });
    main.DoModal();
    std::printf("end tick: the latest of the rounds (the search ends on its 31st); ms: medians\n");
    return allListed;
}

}  // namespace vlm::bench
