// The demonstration of vnbase: named threads log through the application's output hook
// into the terminal. Run it with scripts/demo.sh.
#include <stdio.h>

#include <mutex>

#include "vnbase.h"

namespace {

std::mutex g_print;

// The application's output hook: the library never writes anywhere itself.
void print_line(int, const char*, int, const char* text, int) {
    std::lock_guard<std::mutex> guard(g_print);
    printf("%s\n", text);
    fflush(stdout);
}

struct Greeter {
    const char* name;
    int rounds;
    CVNEvent* done;
};

unsigned int greet(void* arg) {
    Greeter* g = static_cast<Greeter*>(arg);
    vnthread_setname(g->name);
    for (int i = 1; i <= g->rounds && !vnthread_signaled(); ++i) {
        syslog(3, "demo", __LINE__, "round %d of %d, random %d", i, g->rounds, vn_rand());
        vn_msleep(10);
    }
    g->done->Post();
    return 0;
}

}  // namespace

int main() {
    syslog_hook(print_line);
    vnthread_setname("main");
    syslog(3, "demo", __LINE__, "vnbase demonstration, UTC offset %lld minutes",
           vn_gettimeoffsetutc());

    CVNEvent done_a(1, 0), done_b(1, 0);
    Greeter a{"Alpha", 3, &done_a};
    Greeter b{"Beta", 3, &done_b};
    vnthread_handle ta = vnthread_create(greet, &a, 1);
    vnthread_handle tb = vnthread_create(greet, &b, 1);
    done_a.Wait(5000);
    done_b.Wait(5000);
    vnthread_terminate(ta, -1);
    vnthread_terminate(tb, -1);

    unsigned int number = 0;
    int ok = vn_str2uint32(" 0x2A ", &number);
    syslog(3, "demo", __LINE__, "vn_str2uint32(\" 0x2A \") = %d, value %u", ok, number);
    syslog(3, "demo", __LINE__, "done");
    return 0;
}
