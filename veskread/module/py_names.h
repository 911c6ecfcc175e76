// Names the calls use on every call (attribute names, keywords, numpy's
// functions, parameter keys, the keys of image dicts), made and interned
// once at import.
//
// Shaped so because a str built from a C string at each use, interned and
// then dropped, cost more than the lookup it was made for; one table keeps
// every such name in one place.
#pragma once

#include <cstddef>
#include <iterator>

#include "veskread/module/py_ref.h"

namespace vesk::py {

#define VESK_NAMES(X)                                                                              \
    X(dimension)                                                                                   \
    X(dataType)                                                                                    \
    X(deriv)                                                                                       \
    X(derivative)                                                                                  \
    X(parameters)                                                                                  \
    X(x)                                                                                           \
    X(y)                                                                                           \
    X(z)                                                                                           \
    X(minY)                                                                                        \
    X(maxY)                                                                                        \
    X(description)                                                                                 \
    X(mapX)                                                                                        \
    X(mapY)                                                                                        \
    X(spectra)                                                                                     \
    X(labels)                                                                                      \
    X(traces)                                                                                      \
    X(regions)                                                                                     \
    X(title)                                                                                       \
    X(start_time)                                                                                  \
    X(SingleDataReturn)                                                                            \
    X(ImageDataReturn)                                                                             \
    X(ImageTRCDataReturn)                                                                          \
    X(TimeResolvedDataReturn)                                                                      \
    X(TimeResolvedTRCDataReturn)                                                                   \
    X(MultiRegionDataReturn)                                                                       \
    X(MultiRegionTRCDataReturn)                                                                    \
    X(Region)                                                                                      \
    X(__init__)                                                                                    \
    X(upper)                                                                                       \
    X(np)                                                                                          \
    X(empty)                                                                                       \
    X(zeros)                                                                                       \
    X(linspace)                                                                                    \
    X(vstack)                                                                                      \
    X(dstack)                                                                                      \
    X(reshape)                                                                                     \
    X(float32)                                                                                     \
    X(dtype)                                                                                       \
    X(NPT)                                                                                         \
    X(FXV)                                                                                         \
    X(LXV)                                                                                         \
    X(MXY)                                                                                         \
    X(MNY)                                                                                         \
    X(AOX)                                                                                         \
    X(AOY)                                                                                         \
    X(DDX)                                                                                         \
    X(DDY)                                                                                         \
    X(NPX)                                                                                         \
    X(NPY)                                                                                         \
    X(Title)                                                                                       \
    X(Bytes)                                                                                       \
    X(Type)                                                                                        \
    X(image)                                                                                       \
    X(imgext)                                                                                      \
    X(imghdr_what)

enum class Name : int {
#define VESK_NAME_ENUM(n) n,
    VESK_NAMES(VESK_NAME_ENUM)
#undef VESK_NAME_ENUM
        Count
};

// The text of each name, in enum order.
inline constexpr const char* kNameTexts[] = {
#define VESK_NAME_TEXT(n) #n,
    VESK_NAMES(VESK_NAME_TEXT)
#undef VESK_NAME_TEXT
};
static_assert(std::size(kNameTexts) == static_cast<size_t>(Name::Count));
constexpr const char* name_text(Name n) { return kNameTexts[static_cast<size_t>(n)]; }

// The interned str (borrowed; valid once make_names has run).
PyObject* name(Name n);
// Makes the table; false with an exception set.
bool make_names();

} // namespace vesk::py
