// Identifiers, texts and keyword lists of zelmar.external.dunmere, interned once when the
// module executes.
#pragma once

#include "host/names.hpp"

namespace dunmere::n {

using host::Name;
using host::Names;

inline const Name base64{"base64"};
inline const Name b64encode{"b64encode"};
inline const Name io{"io"};
inline const Name BytesIO{"BytesIO"};
inline const Name typing{"typing"};
inline const Name external_program{"external_program"};
inline const Name core{"core"};
inline const Name ExternalProgram{"ExternalProgram"};
inline const Name _JobContent{"_JobContent"};
inline const Name _dseries_exception_map{"_dseries_exception_map"};
inline const Name _get_dseries_file_body{"_get_dseries_file_body"};
inline const Name File{"File"};
inline const Name cast{"cast"};
inline const Name dict{"dict"};
inline const Name super{"super"};
inline const Name __all__{"__all__"};
inline const Name __test__{"__test__"};
inline const Name DunmereAnalysis{"DunmereAnalysis"};

inline const Name input_file{"input_file"};
inline const Name __init__{"__init__"};
inline const Name getvalue{"getvalue"};
inline const Name getvalue_binary{"getvalue_binary"};
inline const Name decode{"decode"};
inline const Name get{"get"};
inline const Name _get_result_content{"_get_result_content"};
inline const Name from_data{"from_data"};

inline const Name program{"dunmere"};
inline const Name utf_8{"utf-8"};
inline const Name empty{""};
inline const Name sto{".sto"};

inline const Names kw_version{"version"};
inline const Names kw_body{"body"};

inline const Names from_io{"BytesIO"};
inline const Names from_typing{"Optional", "cast", "Union"};
inline const Names from_external_program{"ExternalProgram", "_JobContent", "_dseries_exception_map",
                                         "_get_dseries_file_body"};
inline const Names from_core{"File"};

}  // namespace dunmere::n
