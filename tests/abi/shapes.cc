// The shape of every export as a program sees the public header with or
// without large-file support (ZT_SHAPE_BITS): the sizes of its result and
// arguments, of what they point to, and the same for callbacks, so that a
// program built either way calls the library alike. Compiled once each way.
#undef _FILE_OFFSET_BITS
#define _FILE_OFFSET_BITS ZT_SHAPE_BITS
#include <string>
#include <type_traits>

#include "zttools.h"
#include "zt_exports.h"

namespace {

template <typename T> std::string shape();

template <typename... A> std::string arguments()
{
    std::string out;
    ((out += shape<A>() + ","), ...);
    return out;
}

template <typename T> struct Shape {
    static std::string text()
    {
        if constexpr (std::is_void_v<T>)
            return "void";
        else if constexpr (requires { sizeof(T); })
            return std::to_string(sizeof(T));
        else
            return "incomplete";
    }
};
template <typename T> struct Shape<T *> {
    static std::string text() { return std::to_string(sizeof(T *)) + "->" + shape<T>(); }
};
template <typename R, typename... A> struct Shape<R(A...)> {
    static std::string text() { return "(" + arguments<A...>() + ")" + shape<R>(); }
};
template <typename R, typename... A> struct Shape<R(A..., ...)> {
    static std::string text() { return "(" + arguments<A...>() + "...)" + shape<R>(); }
};

template <typename T> std::string shape() { return Shape<std::remove_cv_t<T>>::text(); }

}  // namespace

std::string ZT_SHAPE_NAME()
{
    std::string out;
#define ZT_SHAPE(name) out += #name " " + shape<decltype(&name)>() + "\n";
    ZT_EXPORTS(ZT_SHAPE)
    return out;
}
