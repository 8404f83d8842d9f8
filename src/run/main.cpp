// The command line is not read: any arguments give the same run.
#include "platform/platform.h"
#include "run/driver.h"

int main() {
    platform::ExitProcess(Main());
}
