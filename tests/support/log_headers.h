// The header lines the service starts its two logs with, without the line end.
#pragma once

namespace tarn::test {

inline constexpr char kLocalHeaderLine[] = "# LogFormatVersion:V1.00";
inline constexpr char kUploadHeaderLine[] = "#vorla_upload LogFormatVersion:V1.00";

}  // namespace tarn::test
