// Compressed inputs through the decompression library. Until its stream
// reader is linked in, a compressed input is refused with a clear error
// rather than read as raw bytes.
#include "open_compressed.hpp"

namespace corpuswright::stages {

Result<std::unique_ptr<ByteReader>> open_compressed(const std::string& path) {
    return Error("compressed input is not supported in this build", ErrorKind::Other);
}

}  // namespace corpuswright::stages
