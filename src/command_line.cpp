// The program's command line: the options that say which device to start on and where the frame
// log goes, a command to run without a window, --help and --version.
#include "command_line.h"

#include "serial.h"
#include "utility.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace kelvaro {

namespace {

const char USAGE[] = "usage: kelvaro [--port DEVICE] [--log FILE]          the window\n"
                     "       kelvaro [--port DEVICE] [--log FILE] COMMAND  without a window\n"
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
                "  --log FILE     append every byte sent and received to FILE, a line each\n"
                "  --help         print this text and exit\n"
                "  --version      print the version and exit\n"
                "\n"
                "Commands (status texts go to standard error, results to standard output):\n"
                "  info                          the firmware text\n"
                "  get ram | get eeprom          the parameter set, as a parameter file\n"
                "  send ram FILE | send eeprom FILE\n"
                "                                writes the set of a parameter file\n"
                "  teach | reset                 then prints the set read back from RAM\n"
                "  monitor [--count N] [--seconds S]\n"
                "                                the live values as CSV until N answers, S\n"
                "                                seconds or a signal\n"
                "  capture raw | capture norm    one curve as CSV\n"
                "  flash FILE                    programs the correction table built from FILE;\n"
                "                                writes LTlinear.dat to the current directory\n"
                "Exit status: 0 done, 1 usage, 2 port can't be opened, 3 no or wrong answer,\n"
                "4 file can't be read or written, 5 flash programming failed.\n"
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
const char *frameLogPath = nullptr;
int commandIndex = 0;

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
        const bool port = std::strcmp(argv[i], "--port") == 0;
        if (argv[i][0] != '-') {
            commandIndex = i;
            return START_COMMAND;
        }
        if (!port && std::strcmp(argv[i], "--log") != 0)
            return UsageError("unexpected argument", argv[i]);
        if (i + 1 >= argc || argv[i + 1][0] == '\0')
            return UsageError(port ? "a device path or port number must follow"
                                   : "a file name must follow",
                              argv[i]);
        if (port)
            StartOn(argv[++i]);
        else
            frameLogPath = argv[++i];
    }
    return START_WINDOW;
}

int CommandIndex(void) {
    return commandIndex;
}

const char *FrameLogPath(void) {
    return frameLogPath;
}

int StartUpPort(void) {
    return startUpPort;
}

} // namespace kelvaro
