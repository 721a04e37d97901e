#include "core/frame_codec.h"

namespace kivsdk::server {

// The storage is left uninitialised: pages a quiet client never fills are
// never touched.
ClientInput::ClientInput()
    : storage_(new unsigned char[kStorage]), frames_(storage_.get(), kStorage) {}

}  // namespace kivsdk::server
