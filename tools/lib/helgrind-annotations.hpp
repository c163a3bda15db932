// Included into every file of the helgrind build: libstdc++'s hooks for a race detector,
// so that helgrind sees the atomic reference counts of shared_ptr as synchronisation (it
// does not understand the atomics themselves and would report each release as a race).
// _GLIBCXX_TSAN keeps shared_ptr off its unannotated fast path, as it does under TSan.
#include <valgrind/helgrind.h>
#define _GLIBCXX_SYNCHRONIZATION_HAPPENS_BEFORE(address) ANNOTATE_HAPPENS_BEFORE(address)
#define _GLIBCXX_SYNCHRONIZATION_HAPPENS_AFTER(address) ANNOTATE_HAPPENS_AFTER(address)
#define _GLIBCXX_TSAN 1
