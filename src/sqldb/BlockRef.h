#pragma once
// A non-owning reference to a callable, for blocks that run before the call
// returns: no allocation, unlike std::function.
#include <functional>
#include <type_traits>
#include <utility>

namespace wharf {

template <class Signature>
class BlockRef;

template <class R, class... Args>
class BlockRef<R(Args...)> {
public:
    template <class F>
    requires(!std::is_same_v<std::remove_cvref_t<F>, BlockRef> && std::is_invocable_r_v<R, F&, Args...>)
        BlockRef(F&& callable)  // NOLINT: converts implicitly, like std::function
        : object_(const_cast<void*>(static_cast<const void*>(std::addressof(callable)))),
          call_([](void* object, Args... args) -> R {
              return std::invoke(*static_cast<std::add_pointer_t<std::remove_reference_t<F>>>(object),
                                 std::forward<Args>(args)...);
          }) {}

    R operator()(Args... args) const { return call_(object_, std::forward<Args>(args)...); }

private:
    void* object_;
    R (*call_)(void*, Args...);
};

}  // namespace wharf
