// Byte form of the state record: fixed-width little-endian integers, options as a
// tag byte, texts and collections prefixed by a 64-bit count.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "core/state.hpp"

namespace tovrik::core {

/// Exact length of the byte form of `state`.
std::size_t state_size(const EncoderState& state) noexcept;

/// Writes the byte form into `out`, which holds exactly state_size(state) bytes.
void write_state(const EncoderState& state, std::span<std::uint8_t> out) noexcept;

struct StateReadResult {
    bool ok = false;
    std::string error;                            // the reader's message when !ok
    std::unique_ptr<EncodingInfo> encoding_info;  // null: the record had none
};

/// Reads a byte form; trailing bytes are ignored.
StateReadResult read_state(std::span<const std::uint8_t> bytes);

}  // namespace tovrik::core
