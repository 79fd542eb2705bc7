// rtsp_server.h - the GStreamer side of `vivazuzoz rtsp` (rtsp_command.cpp):
// the mounts' media and the server's clients.
#pragma once

#include <gst/rtsp-server/rtsp-server.h>

#include <cstdio>
#include <string>

namespace vivatool {

// The user name of the password that --token sets.
constexpr const char* kRtspUser = "vivazuzoz";
// The role a client needs to watch a mount that requires one.
constexpr const char* kRtspRole = "viewer";

// Bounds the allocator for a server whose clients come and go (see the
// definition); the user's MALLOC_ARENA_MAX and MALLOC_MMAP_THRESHOLD_ are
// left alone.
void BoundAllocator();

// The shared media factory of one mount: camera `camera` coloured in
// `colormap`, H.264 over RTP, the source with `sourceOptions` (its
// properties, each after a space). The camera's loss, return and failure
// are said on `err`, naming `mount`. With `withAuth` only kRtspRole may
// watch. With `tls` the video goes in the TLS connection only (RTP over UDP
// would travel in the clear).
GstRTSPMediaFactory* MakeFactory(int camera, const char* colormap, bool withAuth, bool tls, FILE* err,
                                 const std::string& mount, const std::string& sourceOptions);

// The RTP packets of each picture from `payloader` (an H.264 payloader, up
// to the packet with the marker bit) go on as one buffer list, which the
// server's TCP clients take as one piece (see rtsp_server.cpp).
void SendPicturesWhole(GstElement* payloader);

// --token: Basic authentication with user kRtspUser and `password`.
void RequirePassword(GstRTSPServer* server, const std::string& password);

// Each client that connects gets a bounded send buffer and, when it joins a
// running stream, a key frame at once.
void OnClientConnected(GstRTSPServer* server);

// Drops, on the main loop, clients whose unsent data they have not taken
// for two seconds, saying so on `err`. Returns the timeout's source id.
guint WatchStalledClients(GstRTSPServer* server, FILE* err);

// Closes every client, whose media then close the cameras, and runs the
// main context until they are taken down (at most a few seconds).
void CloseClients(GstRTSPServer* server);

}  // namespace vivatool
