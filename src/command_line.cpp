// The program's command line: the options that say which device to start on, --help and
// --version, all answered before any window or display is needed.
#include "command_line.h"

#include "serial.h"
#include "utility.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace kelvaro {

namespace {

const char USAGE[] = "usage: kelvaro [--port DEVICE]\n"
                     "       kelvaro --help | --version\n";

void PrintHelp(void) {
    char folder[MAX_PATHNAME_LEN];
    GetProjectDir(folder);
    std::printf("%s\n"
                "The operator program for the KEL-VA-RO1 sensor controller: reads, edits and\n"
                "writes its parameter set, teaches the reference, shows the live values and\n"
                "captured curves, and programs the correction table into its flash.\n"
                "\n"
                "  --port DEVICE  start on DEVICE, a device path or a port number of the ring\n"
                "  --help         print this text and exit\n"
                "  --version      print the version and exit\n"
                "\n"
                "Port 1 is the device of --port, else $KELVARO_COM1, else the first USB serial\n"
                "adapter, else the first serial device the system lists.\n"
                "Working folder (file dialogs, CONconfig.dat): %s\n"
                "See kelvaro(1).\n",
                USAGE, folder);
}

int UsageError(const char *what, const char *argument) {
    std::fprintf(stderr, "kelvaro: %s %s\n%s", what, argument, USAGE);
    return EXIT_USAGE;
}

int startUpPort = 1;

// A device path names port 1's device; a number picks that port of the ring.
void StartOn(const char *device) {
    char *end = nullptr;
    const long number = std::strtol(device, &end, 10);
    if (*device != '\0' && *end == '\0' && number >= 1 && number <= MAX_COM_PORT)
        startUpPort = int(number);
    else
        SetComStartUpDevice(device);
}

} // namespace

int HandleCommandLine(int argc, char **argv) {
    if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
        PrintHelp();
        return EXIT_DONE;
    }
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("kelvaro %s\n", KELVARO_VERSION);
        return EXIT_DONE;
    }
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--port") != 0)
            return UsageError("unexpected argument", argv[i]);
        if (i + 1 >= argc || argv[i + 1][0] == '\0')
            return UsageError("a device path or port number must follow", argv[i]);
        StartOn(argv[++i]);
    }
    return -1;
}

int StartUpPort(void) {
    return startUpPort;
}

} // namespace kelvaro
