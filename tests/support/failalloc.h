// An allocator interposed on malloc, calloc and realloc that fails on
// purpose: linked into a test, it makes the k-th allocation after arming
// fail (ENOMEM), once or from then on, so that every allocation failure path
// of an operation can be run in turn.
#ifndef ZT_FAILALLOC_H
#define ZT_FAILALLOC_H

namespace zt_test::failalloc {

enum class Mode { once, from_then_on };

void arm(unsigned k, Mode mode);
void disarm();
// Allocations seen since arming, and whether one of them failed.
unsigned calls();
bool failed();

// Runs op() with the k-th allocation failing, for k = 1, 2, ... in each
// mode, until a run meets no failure; after each run, with the allocator
// disarmed, check(failed) checks the outcome. Returns the number of
// allocations op makes when nothing fails.
template <typename Op, typename Check> unsigned for_each_failure(Op op, Check check)
{
    unsigned total = 0;
    for (Mode mode : {Mode::once, Mode::from_then_on}) {
        for (unsigned k = 1;; k++) {
            arm(k, mode);
            op();
            disarm();
            const bool hit = failed();
            check(hit);
            if (!hit) {
                total = calls();
                break;
            }
        }
    }
    return total;
}

}  // namespace zt_test::failalloc

#endif
