// Small system tool applets over library calls: true, false, clear, uptime, hertz, reboot,
// poweroff.
#include "applets.h"

#include "console.h"
#include "reboot.h"
#include "terminal.h"
#include "time.h"

int tarvik_multicall_true_main(int, char **) { return 0; }

int tarvik_multicall_false_main(int, char **) { return 1; }

int tarvik_multicall_clear_main(int, char **)
{
    tarvik_clear_terminal();
    return 0;
}

int tarvik_multicall_uptime_main(int, char **)
{
    uint64_t seconds = tarvik_uptime();
    tarvik_printf(
        "uptime: \e[1;37m%u\e[0m days \e[1;37m%02u\e[0m:\e[1;37m%02u\e[0m:\e[1;37m%02u\e[0m "
        "(\e[1;34m%lu\e[0m sec)\n",
        static_cast<unsigned>(seconds / 86400u), static_cast<unsigned>(seconds / 3600u % 24u),
        static_cast<unsigned>(seconds / 60u % 60u), static_cast<unsigned>(seconds % 60u),
        static_cast<unsigned long>(seconds));
    return 0;
}

int tarvik_multicall_hertz_main(int, char **)
{
    tarvik_printf("%llu\n", static_cast<unsigned long long>(tarvik_get_hertz()));
    return 0;
}

// Both only come back when the machine stays up.
int tarvik_multicall_reboot_main(int, char **)
{
    tarvik_reboot();
    return 1;
}

int tarvik_multicall_poweroff_main(int, char **)
{
    tarvik_poweroff();
    return 1;
}
