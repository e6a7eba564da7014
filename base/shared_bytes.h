// TSharedBytes: an immutable byte string shared by every holder: a stored
// demo packet and each send queue that is sending it, or one broadcast and
// the thousands of queues it goes to. One allocation holds a reference count,
// the size and the bytes; a copy costs a count increment. The count is not
// atomic: a buffer is used by one thread only (the event loop's).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <utility>

namespace vistrel {

class TSharedBytes {
public:
    TSharedBytes() noexcept = default;
    // Copies bytes into a new buffer; no bytes make an empty (null) one.
    // Raises std::length_error above 4 GiB.
    explicit TSharedBytes(std::string_view bytes);
    TSharedBytes(const TSharedBytes& other) noexcept : block_(other.block_) {
        if (block_) ++block_->Refs;
    }
    TSharedBytes(TSharedBytes&& other) noexcept : block_(std::exchange(other.block_, nullptr)) {}
    TSharedBytes& operator=(TSharedBytes other) noexcept {
        std::swap(block_, other.block_);
        return *this;
    }
    ~TSharedBytes() { Release(); }

    std::string_view View() const noexcept { return {Data(), Size()}; }
    const char* Data() const noexcept { return block_ ? reinterpret_cast<const char*>(block_ + 1) : ""; }
    size_t Size() const noexcept { return block_ ? block_->Size : 0; }
    bool Empty() const noexcept { return Size() == 0; }
    explicit operator bool() const noexcept { return block_ != nullptr; }
    // Holders of this buffer (0 for an empty one).
    uint32_t RefCount() const noexcept { return block_ ? block_->Refs : 0; }

private:
    // The bytes follow the header in the same allocation.
    struct TBlock {
        uint32_t Refs;
        uint32_t Size;
    };
    void Release() noexcept;

    TBlock* block_ = nullptr;
};

}  // namespace vistrel
