// The process entry: hands the arguments to the program's WinMain, then ends the application.
#include "KELVARO1V10.h"

#include "start.h"

int main(int argc, char **argv) {
    PlatformInstance instance{argc, argv};
    const int code = WinMain(&instance, nullptr, argc > 1 ? argv[1] : nullptr, 1);
    EndApplication();
    return code;
}
