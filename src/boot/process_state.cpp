#include "boot/process_state.h"

#include "display/eink.h"
#include "input/keypad.h"
#include "platform/boardid.h"
#include "storage/gadget.h"
#include "update/ckimage.h"
#include "update/unbundle_common.h"
#include "update/update.h"

namespace qm {

void process_state_reset() {
    eink_state_reset();
    keypad_state_reset();
    boardid_reset();
    g_storage_initialized = 0;
    progress_base = 0;
    ckimage_state_reset();
    update_state_reset();
}

}  // namespace qm
