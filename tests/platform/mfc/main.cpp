// test_mfc <suite> [QtTest options]: runs one suite; without a name, all.
#include "mfc_tests.h"

#include <afxwin.h>

#include <QApplication>
#include <QTest>

#include <cstdio>
#include <vector>

namespace vlm::mfc::testing {

std::map<std::string, SuiteFactory>& Suites()
{
    static std::map<std::string, SuiteFactory> suites;
    return suites;
}

}  // namespace vlm::mfc::testing

// The program's application object, as a program on the framework has one;
// the application suite puts others in its place for a while.
CWinApp theApp;

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    auto& suites = vlm::mfc::testing::Suites();
    std::vector<char*> args{argv[0]};
    std::string only;
    if (argc > 1 && argv[1][0] != '-') {
        only = argv[1];
        if (suites.count(only) == 0) {
            std::fprintf(stderr, "test_mfc: no suite '%s'\n", only.c_str());
            return 2;
        }
    }
    for (int i = only.empty() ? 1 : 2; i < argc; ++i)
        args.push_back(argv[i]);
    int failed = 0;
    for (auto& [name, factory] : suites) {
        if (!only.empty() && name != only)
            continue;
        std::unique_ptr<QObject> suite = factory();
        failed += QTest::qExec(suite.get(), static_cast<int>(args.size()), args.data());
    }
    return failed;
}
