#pragma once

// Every fixed encoding setting of the media library, in one place: the
// library uses them, and the transcoding benchmark gives the same ones to
// the ffmpeg command line it compares with.

namespace Quendle::settings {

// H.264 through libx264.
inline constexpr const char* video_codec = "libx264";
inline constexpr const char* x264_preset = "veryfast";
// Hardly a frame is held back, so that audio written as it is encoded
// never runs ahead of the video beside it: no B-frames and no lookahead,
// and slices rather than whole frames spread over threads (libavcodec
// decides that from its own thread type). Rate control follows the
// pictures' own times, which costs one picture: a packet comes out when
// the next picture goes in.
inline constexpr const char* x264_params = "bframes=0:rc-lookahead=0:sync-lookahead=0:mbtree=0";
inline constexpr const char* video_thread_type = "slice";
// A keyframe is forced on the first picture at or after every multiple of
// this interval (pictures' own times). A recording is cut at the first
// keyframe more than 10 s after its segment began; a little over 2 s puts
// the fifth keyframe just past that, so segments last about 10.25 s.
inline constexpr double keyframe_interval_seconds = 2.05;
// The longest run of pictures without a keyframe that libx264 makes by
// itself; the forced keyframes come long before.
inline constexpr int max_keyframe_interval = 600;
// Rate control follows the pictures' times; this rate only sizes what
// libx264 sets up before the first picture.
inline constexpr int nominal_frame_rate = 25;
// The rate-control buffer holds this many seconds at the maximum rate.
inline constexpr double rate_buffer_seconds = 1.0;

// AAC through FFmpeg's own encoder, in frames of 1024 samples.
inline constexpr const char* audio_codec = "aac";

// Scaling of pictures to the output size (libswscale's SWS_BICUBIC, also
// the ffmpeg command line's default).
inline constexpr int scale_flags = 4;

}  // namespace Quendle::settings
