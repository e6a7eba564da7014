#include "base/shared_bytes.h"

#include <cstring>
#include <limits>
#include <new>
#include <stdexcept>

namespace vistrel {

TSharedBytes::TSharedBytes(std::string_view bytes) {
    if (bytes.empty()) return;
    if (bytes.size() > std::numeric_limits<uint32_t>::max()) throw std::length_error("TSharedBytes: too long");
    void* memory = ::operator new(sizeof(TBlock) + bytes.size());
    block_ = new (memory) TBlock{1, static_cast<uint32_t>(bytes.size())};
    std::memcpy(block_ + 1, bytes.data(), bytes.size());
}

void TSharedBytes::Release() noexcept {
    if (block_ && --block_->Refs == 0) {
        block_->~TBlock();
        ::operator delete(block_);
    }
    block_ = nullptr;
}

}  // namespace vistrel
