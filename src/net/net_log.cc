#include "net/net_log.h"

namespace tidewell::net_internal {

const ustring& ChannelComponent() {
  static const ustring kName("channel_debug");
  return kName;
}

const ustring& ProtoComponent() {
  static const ustring kName("proto_common_debug");
  return kName;
}

}  // namespace tidewell::net_internal
