// Helpers shared by the task runtime tests: a recorder of the calls it receives and calls
// made of lambdas.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "support/io_thread.h"
#include "task/vnrefcount.h"
#include "task/vnscopecall.h"
#include "task/vntask.h"

namespace tasktest {

using iotest::kWaitMs;
using iotest::RunOn;

// A call argument carrying one number.
struct IntArg : public CRefCountSafe {
    explicit IntArg(int v) : value(v) {}
    int value;
};

// Records the numbers of the calls it receives.
struct Recorder : public CRefCountSafe {
    iotest::Waiter w;
    std::vector<int> values;  // guarded by w
    int Record(CRefCount* arg) {
        w.Update([&] { values.push_back(static_cast<IntArg*>(arg)->value); });
        return 0;
    }
    // Waits until n calls were recorded, or value v (when not -1) was.
    bool Wait(size_t n, int v = -1) {
        return w.WaitFor([&] {
            return v == -1 ? values.size() >= n
                           : std::find(values.begin(), values.end(), v) != values.end();
        });
    }
    std::vector<int> Values() {
        return w.Read([&] { return values; });
    }
};

// A call of rec->Record(IntArg(v)) gated by rec itself.
inline CScopeCall RecordCall(Recorder* rec, int v) {
    IntArg* arg = new IntArg(v);
    CScopeCall call(rec, rec, &Recorder::Record, arg);
    arg->Release();  // the call holds it now
    return call;
}

// A call that runs fn on the worker.
template <class Fn>
CScopeCall MakeCall(Fn fn) {
    struct FnCall : public CRefCountSafe {
        explicit FnCall(Fn f) : fn(f) {}
        Fn fn;
        int Run(CRefCount*) { return fn(), 0; }
    };
    FnCall* c = new FnCall(fn);
    CScopeCall call(c, c, &FnCall::Run);
    c->Release();
    return call;
}

}  // namespace tasktest
