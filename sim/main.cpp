// kelvaro-sim: serves a simulated KEL-VA-RO1 controller on a pseudo-terminal until SIGTERM or
// SIGINT, for the demo, the benchmark and manual tests.
#include "kelvaro_sim.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <pthread.h>
#include <string>

namespace {

constexpr int EXIT_USAGE = 2;

const char *const USAGE =
    "usage: kelvaro-sim --link PATH [--no-pacing] [--eeprom FILE] [--log-orders] [--silent]\n"
    "                   [--wrong-echo] [--firmware-bytes N] [--extra-bytes N] [--stray-bytes N]\n"
    "                   [--late SECONDS]\n"
    "Serves a simulated KEL-VA-RO1 controller on a pseudo-terminal linked at PATH.\n"
    "  --no-pacing         answer at once instead of at 19200 baud (kelvaro refuses such\n"
    "                      answers: faster than the line carries them)\n"
    "  --eeprom FILE       keep the EEPROM in FILE (16 numbers, one a line)\n"
    "  --log-orders        print \"order N\" for every request received\n"
    "  --silent            answer nothing\n"
    "  --wrong-echo        answer the line check with 0xAA00\n"
    "  --firmware-bytes N  send only N bytes of the firmware text\n"
    "  --extra-bytes N     append N extra bytes to every answer\n"
    "  --stray-bytes N     put N stray bytes before every answer\n"
    "  --late SECONDS      delay every answer by SECONDS\n";

int usageError(const std::string &message) {
    std::fprintf(stderr, "kelvaro-sim: %s (try --help)\n", message.c_str());
    return EXIT_USAGE;
}

bool parseCount(const char *text, int *value) {
    char *end = nullptr;
    const long number = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || number < 0 || number > 1000000) {
        return false;
    }
    *value = static_cast<int>(number);
    return true;
}

bool parseSeconds(const char *text, double *value) {
    char *end = nullptr;
    const double number = std::strtod(text, &end);
    if (end == text || *end != '\0' || !(number >= 0 && number <= 3600)) {
        return false;
    }
    *value = number;
    return true;
}

} // namespace

int main(int argc, char **argv) {
    kvsim::Simulator::Options options;
    kvsim::Faults faults;
    std::string link;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        const char *value = i + 1 < argc ? argv[i + 1] : nullptr;
        const bool takesValue = option == "--link" || option == "--eeprom" ||
                                option == "--firmware-bytes" || option == "--extra-bytes" ||
                                option == "--stray-bytes" || option == "--late";
        if (takesValue && !value) {
            return usageError(option + " needs a value");
        }
        if (option == "--help") {
            std::fputs(USAGE, stdout);
            return 0;
        } else if (option == "--link") {
            link = value;
        } else if (option == "--eeprom") {
            options.eepromFile = value;
        } else if (option == "--no-pacing") {
            options.pacing = false;
        } else if (option == "--log-orders") {
            options.onRequest = [](const kvsim::Request &request) {
                std::printf("order %u\n", static_cast<unsigned>(request.order));
                std::fflush(stdout);
            };
        } else if (option == "--silent") {
            faults.silent = true;
        } else if (option == "--wrong-echo") {
            faults.wrongEcho = true;
        } else if (option == "--firmware-bytes") {
            if (!parseCount(value, &faults.firmwareBytes)) {
                return usageError("--firmware-bytes needs a count, not " + std::string(value));
            }
        } else if (option == "--extra-bytes") {
            if (!parseCount(value, &faults.extraBytes)) {
                return usageError("--extra-bytes needs a count, not " + std::string(value));
            }
        } else if (option == "--stray-bytes") {
            if (!parseCount(value, &faults.strayBytes)) {
                return usageError("--stray-bytes needs a count, not " + std::string(value));
            }
        } else if (option == "--late") {
            if (!parseSeconds(value, &faults.lateSeconds)) {
                return usageError("--late needs seconds from 0 to 3600, not " + std::string(value));
            }
        } else {
            return usageError("unknown option " + option);
        }
        if (takesValue) {
            ++i;
        }
    }
    if (link.empty()) {
        return usageError("--link PATH is required");
    }

    // Blocked before the serving thread exists, so the signals reach only sigwait below.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    std::signal(SIGPIPE, SIG_IGN); // a reader of the order log that goes away must not kill us

    kvsim::Simulator simulator(options);
    simulator.setFaults(faults);
    std::string error;
    if (!simulator.start(link, &error)) {
        std::fprintf(stderr, "kelvaro-sim: %s\n", error.c_str());
        return EXIT_FAILURE;
    }
    std::printf("kelvaro-sim: serving %s -> %s\n", link.c_str(), simulator.devicePath().c_str());
    std::fflush(stdout);

    int signal = 0;
    sigwait(&stopSignals, &signal);
    simulator.stop();
    return 0;
}
