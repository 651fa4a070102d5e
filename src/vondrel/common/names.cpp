#include "vondrel/common/names.hpp"

namespace vondrel {

int intern_names(std::span<const NameEntry> entries)
{
    for (const NameEntry &e : entries) {
        if (*e.slot)
            continue;
        *e.slot = PyUnicode_InternFromString(e.text);
        if (!*e.slot)
            return -1;
    }
    return 0;
}

}  // namespace vondrel
