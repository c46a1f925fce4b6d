// One object of a type for each thread that calls into the library, as errno
// is one per thread.
#ifndef VELKOR_API_PER_THREAD_H_
#define VELKOR_API_PER_THREAD_H_

#include <new>
#include <type_traits>

namespace velkor {

// The calling thread's T, made at its first use and destroyed when the thread
// ends.
//
// A thread_local T would not do: it is destroyed with the thread's other
// thread_local objects, and a host may still call in after that, from exit
// handlers and static destructors (on Linux they run after the main thread's
// thread_local objects are gone) or from destructors of its own thread_local
// objects. So the T lives in raw thread storage, which outlasts every
// destructor, beside a flag that says whether it is alive: a call that comes
// after the T was destroyed makes it again. A T made again that late is
// never destroyed (what its members hold stays allocated); for the main
// thread the process is ending anyway.
template <class T>
T& per_thread() {
  // Made on entry of every export, outside the frame that catches failures.
  static_assert(std::is_nothrow_default_constructible_v<T>);
  alignas(T) thread_local unsigned char storage[sizeof(T)];
  thread_local bool alive = false;
  if (!alive) {
    new (storage) T();
    alive = true;
    struct owner {
      ~owner() {
        std::launder(reinterpret_cast<T*>(storage))->~T();
        alive = false;
      }
    };
    // Registered for the thread's end the first time the thread passes here.
    [[maybe_unused]] thread_local owner destroys_at_thread_end;
  }
  return *std::launder(reinterpret_cast<T*>(storage));
}

}  // namespace velkor

#endif  // VELKOR_API_PER_THREAD_H_
