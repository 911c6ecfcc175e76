#include "veskread/container/errors.h"

namespace vesk {

void throw_short_read(int64_t position, int64_t needed, int64_t got) {
    throw Error(ErrorKind::ShortRead,
                "file ends early: needed " + std::to_string(needed) + " bytes at offset " +
                    std::to_string(position) + ", found " + std::to_string(got),
                position, needed);
}

void throw_missing_key(const std::string& key) {
    throw Error(ErrorKind::MissingKey, "missing key '" + key + "'", -1, 0, key);
}

void throw_file_changed(int64_t block_offset) {
    throw Error(ErrorKind::FileChanged,
                "file changed while stored block at offset " + std::to_string(block_offset) +
                    " was read",
                block_offset);
}

void throw_value(const std::string& message) {
    throw Error(ErrorKind::Value, message, -1, 0, message);
}

} // namespace vesk
