// Coverage builds only. The program's sessions and the stock service's
// watchdog run in forked children that end with _exit(), which skips the
// exit handlers that write the coverage counts. The tests are linked with
// -Wl,--wrap=_exit, so every _exit() in them and in the programs' code
// writes the counts first.
extern "C" {
void __gcov_dump(void);
[[noreturn]] void __real__exit(int status);

[[noreturn]] void __wrap__exit(int status)
{
    __gcov_dump();
    __real__exit(status);
}
}
