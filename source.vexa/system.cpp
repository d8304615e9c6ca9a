// Small system tool applets over library calls: true, false, clear.
#include "applets.h"

#include "terminal.h"

int tarvik_multicall_true_main(int, char **) { return 0; }

int tarvik_multicall_false_main(int, char **) { return 1; }

int tarvik_multicall_clear_main(int, char **)
{
    tarvik_clear_terminal();
    return 0;
}
