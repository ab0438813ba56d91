#include <cstdlib>

#include "display/egl_image.h"

namespace qm {

void egl_destroy(egl_image* ei) {
    if (ei == nullptr || !ei->was_malloc) return;
    std::free(ei->image_data);
    ei->image_data = nullptr;
    ei->was_malloc = 0;
}

}  // namespace qm
