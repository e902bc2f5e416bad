// The program's entry: a program on the framework declares its CWinApp
// and no main of its own, as MFC programs do. This file holds main alone,
// so that a test's own main keeps it out of the test.
#include <afxwin.h>

int main(int argc, char** argv)
{
    return AfxWinMain(argc, argv);
}
