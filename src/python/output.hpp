// Output assembly: the new ndarray or DataFrame that encode and decode return.
#pragma once

#include "core/state.hpp"
#include "python/intake.hpp"
#include "python/numpy_api.hpp"

namespace tovrik::py {

/// Builds the result of encode (info null) or decode (info: the stored record,
/// or null when the Encoder holds none).
Ref arr_to_out(IntakeResult&& intake, const core::EncodingInfo* info);

/// pandas.DataFrame(base, columns=names)
Ref make_frame(Ref base, const std::vector<std::string>& names);

/// The decoding continuation of arr_to_out when a stored record is present.
Ref decode_array(Ref base, const core::EncodingInfo& info);
Ref decode_frame(Ref frame, PyArrayObject* matrix, const std::vector<std::string>& names,
                 const core::EncodingInfo& info);

}  // namespace tovrik::py
