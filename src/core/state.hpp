// What an Encoder remembers: the learnt per-column code maps and the string strategy.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/flat_map.hpp"

namespace tovrik::core {

/// Distinct text of one column -> its code; the missing-value texts carry none.
using LabelMap = FlatMap<StoredText, std::optional<std::uint64_t>, StringKey>;
/// Code -> the text that carries it.
/// Built by the engine and read from a state, it views the texts of its
/// column's LabelMap, so that each distinct text is held once.
using ReverseLabelMap = FlatMap<std::uint64_t, StoredText, U64Key>;

struct EncodingInfo {
    std::vector<std::uint64_t> encoded_columns;
    FlatMap<std::uint64_t, LabelMap, U64Key> label_maps;
    FlatMap<std::uint64_t, ReverseLabelMap, U64Key> reverse_maps;
};

enum class StringEncoding : std::uint32_t { Label = 0 };

/// The state record of one Encoder. An absent record (null) and an empty one differ.
struct EncoderState {
    std::unique_ptr<EncodingInfo> encoding_info;
    StringEncoding encoding = StringEncoding::Label;
};

}  // namespace tovrik::core
