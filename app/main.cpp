#include "app/widget.h"

#include <QApplication>

#include <cstdlib>

int main(int argc, char **argv)
{
    QApplication application(argc, argv);
    Widget widget;
    widget.show();
    const int result = application.exec();
    return result == 0 && widget.updateInterrupted() ? EXIT_FAILURE : result;
}
