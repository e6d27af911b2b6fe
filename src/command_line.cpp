// The program's command line: --help and --version, answered without a display.
#include "command_line.h"

#include "utility.h"

#include <cstdio>
#include <cstring>

namespace kelvaro {

namespace {

const char USAGE[] = "usage: kelvaro\n"
                     "       kelvaro --help | --version\n";

void PrintHelp(void) {
    char folder[MAX_PATHNAME_LEN];
    GetProjectDir(folder);
    std::printf("%s\n"
                "The operator program for the KEL-VA-RO1 sensor controller: reads, edits and\n"
                "writes its parameter set, teaches the reference, shows the live values and\n"
                "captured curves, and programs the correction table into its flash.\n"
                "\n"
                "  --help     print this text and exit\n"
                "  --version  print the version and exit\n"
                "\n"
                "Port 1 is the device named by $KELVARO_COM1, else the first serial device.\n"
                "Working folder (file dialogs, CONconfig.dat): %s\n"
                "See kelvaro(1).\n",
                USAGE, folder);
}

} // namespace

int HandleCommandLine(int argc, char **argv) {
    if (argc < 2)
        return -1;
    const char *argument = argv[1];
    if (argc == 2 && std::strcmp(argument, "--help") == 0) {
        PrintHelp();
        return EXIT_DONE;
    }
    if (argc == 2 && std::strcmp(argument, "--version") == 0) {
        std::printf("kelvaro %s\n", KELVARO_VERSION);
        return EXIT_DONE;
    }
    std::fprintf(stderr, "kelvaro: unexpected argument %s\n%s", argument, USAGE);
    return EXIT_USAGE;
}

} // namespace kelvaro
