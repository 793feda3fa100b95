// pbx-exchange: the simulated company exchange, in the foreground until SIGINT or SIGTERM.
#include "exchange/Exchange.h"

#include "common/Logging.h"
#include "voip/core/Log.h"

#include <QCoreApplication>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <unistd.h>

namespace {

void Usage(std::ostream& out)
{
    out << "usage: pbx-exchange [options]\n"
           "  -c, --config FILE     read the configuration from FILE (INI); without it the built-in\n"
           "                        default runs (lines 201 and 202, phones 101, 102, 1234567,\n"
           "                        84951234567; control account selvane/selvane)\n"
           "      --sip HOST:PORT   listen for SIP there (overrides the file; default 127.0.0.1:5060)\n"
           "      --control HOST:PORT\n"
           "                        listen for control clients there (overrides the file;\n"
           "                        default 127.0.0.1:7577); port 0 takes a free port\n"
           "  -l, --log-level N     log up to severity N, 0 (emergency) to 7 (debug); default 6\n"
           "      --log FILE        also write the log to FILE\n"
           "      --check           read the configuration, report and exit\n"
           "  -h, --help            this text\n";
}

} // namespace

int main(int argc, char** argv)
{
    // The signals are taken by sigwait below, in every thread.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    QCoreApplication app(argc, argv);
    std::string configPath, sip, control, logFile;
    int level = Informational;
    bool check = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto value = [&](std::string& out) {
            if (i + 1 >= argc) {
                std::cerr << "pbx-exchange: " << arg << " needs a value\n";
                return false;
            }
            out = argv[++i];
            return true;
        };
        std::string text;
        if (arg == "-h" || arg == "--help") {
            Usage(std::cout);
            return 0;
        } else if (arg == "-c" || arg == "--config") {
            if (!value(configPath))
                return 2;
        } else if (arg == "--sip") {
            if (!value(sip))
                return 2;
        } else if (arg == "--control") {
            if (!value(control))
                return 2;
        } else if (arg == "--log") {
            if (!value(logFile))
                return 2;
        } else if (arg == "-l" || arg == "--log-level") {
            if (!value(text) || text.size() != 1 || text[0] < '0' || text[0] > '7') {
                std::cerr << "pbx-exchange: the log level is 0 to 7\n";
                return 2;
            }
            level = text[0] - '0';
        } else if (arg == "--check") {
            check = true;
        } else {
            std::cerr << "pbx-exchange: unknown option " << arg << "\n";
            Usage(std::cerr);
            return 2;
        }
    }

    CreateLogger("pbx-exchange");
    // The exchange logs through the voip library's sink; its lines go to this program's log file.
    voip::SetLogHandler([](int severity, std::string_view message) { Log(severity, message); },
                        [](int severity) { return LogEnabled(severity); });
    SetLogFile(logFile.empty() ? "/dev/null" : logFile);
    SetLogConsoleOutput(false);
    SetLogSeverity(level); // its own line goes to the file only
    SetLogConsoleOutput(true);

    exchange::ExchangeConfig config = exchange::DefaultConfig();
    std::string error;
    if (!configPath.empty() && !exchange::LoadConfig(configPath, config, error)) {
        std::cerr << "pbx-exchange: " << error << "\n";
        return 1;
    }
    if (!sip.empty())
        config.sipAddress = sip;
    if (!control.empty())
        config.controlAddress = control;
    if (check) {
        std::cout << "configuration good: " << config.extensions.size() << " extensions, "
                  << config.dialPlan.classes.size() << " destination classes, "
                  << config.dialPlan.dialable.size() << " rewrite rules\n";
        return 0;
    }

    exchange::Exchange pbx(config);
    if (!pbx.Start(error)) {
        Log(Error, "pbx-exchange: ", error);
        std::cerr << "pbx-exchange: " << error << "\n";
        return 1;
    }
    // Ready for scripts that wait for it.
    std::cout << "pbx-exchange sip " << pbx.SipHost() << ":" << pbx.SipPort() << " control " << pbx.ControlPort()
              << " pid " << getpid() << std::endl;
    int signal = 0;
    sigwait(&stopSignals, &signal);
    Log(Notice, "pbx-exchange: stopping on signal ", signal);
    pbx.Stop();
    return 0;
}
