// Keeps this object's thread-local data (the C++ runtime's, linked in) in the
// static TLS block. One initial-exec access marks the object STATIC_TLS, so
// the loader reserves the block when the module is imported and every thread
// gets it with its stack. Otherwise the block of a helper thread would be
// allocated on first use, inside the runtime, where a failed allocation
// aborts the process instead of raising.
namespace {
[[gnu::tls_model("initial-exec")]] thread_local int static_tls_anchor = 0;
}  // namespace

namespace bind {
// Kept through section garbage collection, which some linkers do by default.
[[gnu::used, gnu::retain]] int touch_static_tls() { return ++static_tls_anchor; }
}  // namespace bind
