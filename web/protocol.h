// What the relay and its client agree on: where the relay listens, what it
// serves, the control channel's words, and how it refuses a controller.
#pragma once

inline constexpr int kHttpPort = 8154;
inline constexpr int kAltHttpPort = 8155;
inline constexpr char kPlaylistPath[] = "/hlsMcast.m3u8";
inline constexpr char kSubprotocol[] = "ObQuillbrook";
inline constexpr char kRelayVersion[] = "relay version 1.4.3";
inline constexpr char kNotFoundText[] = "Error: File not found";
// A refused control handshake is answered with a status the client can tell
// apart: this host may not control the relay, or another client already does.
inline constexpr int kControlForbiddenStatus = 403;
inline constexpr int kControlTakenStatus = 409;
