#include "tools/publisher.h"

#include <QCoreApplication>
#include <QTextStream>

#include <cstdio>
#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace {

bool standardErrorIsTerminal()
{
#ifdef _WIN32
    return _isatty(_fileno(stderr)) != 0;
#else
    return isatty(fileno(stderr)) != 0;
#endif
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    QTextStream out(stdout);
    QTextStream err(stderr);
    const int status = runPublisher(application.arguments().mid(1), out, err,
                                    standardErrorIsTerminal() ? PublisherProgress::Shown
                                                              : PublisherProgress::Quiet);
    out.flush();
    err.flush();
    return status;
}
