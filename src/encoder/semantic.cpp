// The encoders of the standard-library table, one per row in row order.
#include "encoder/semantic.h"
#include "tags/datetimes.h"
#include "tags/numbers.h"
#include "tags/text_ip.h"

namespace kelvo {

const SemanticEncoder kStdlibEncoders[stdlib::kEncoderRows] = {
    encode_datetime,
    encode_date,
    encode_decimal,
    encode_rational,
    encode_uuid,
    encode_regexp,
    encode_ipv4_address,
    encode_ipv4_network,
    encode_ipv4_interface,
    encode_ipv6_address,
    encode_ipv6_network,
    encode_ipv6_interface,
    encode_mime,
};

}  // namespace kelvo
