// The JSON text of the peer protocol's bodies. The writer is compact and
// puts the keys in a fixed order, "type" first; the reader takes the keys in
// any order and skips keys it does not know, but refuses a body with a key
// twice, a missing required key, an unknown "type", or a value of the wrong
// JSON type or out of its field's range. A refused body makes its frame
// undecodable, which ends the connection it came on.
#pragma once

#include <string>
#include <string_view>

#include "protocol/peer.h"
#include "util/result.h"

namespace ruk::protocol {

// What the writer does with text that is not valid UTF-8 (a project root
// straight from the file system): refuse to write the body, or replace the
// broken sequences with U+FFFD.
enum class InvalidText { Refuse, Replace };

Result<std::string> encode_peer_request(const PeerRequest& request, InvalidText invalid = InvalidText::Refuse);
Result<std::string> encode_peer_event(const PeerEvent& event, InvalidText invalid = InvalidText::Refuse);

Result<PeerRequest> decode_peer_request(std::string_view text);
Result<PeerEvent> decode_peer_event(std::string_view text);

}  // namespace ruk::protocol
