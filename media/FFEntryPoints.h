#pragma once
// Typed entry points of the FFmpeg 5.1 and SDL 2 libraries.
//
// Nothing of ours links these libraries: the loader binds every name below with dlsym when a
// component asks for its library set, and all code calls the libraries only through the
// variables of namespace ff (ff::av_log(...), ff::SDL_OpenAudio(...)). Each variable has the
// exact type of the header's declaration, so a call through it is checked like a direct call.
// A variable is nullptr while its library is not bound.
//
// One list per library; every name on a list is required when that library is bound. Add a
// name to its library's list when code starts calling it.

#ifndef SDL_MAIN_HANDLED
#define SDL_MAIN_HANDLED
#endif

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavcodec/bsf.h>
#include <libavdevice/avdevice.h>
#include <libavfilter/avfilter.h>
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
#include <libavformat/avformat.h>
#include <libavformat/avio.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/avstring.h>
#include <libavutil/avutil.h>
#include <libavutil/channel_layout.h>
#include <libavutil/dict.h>
#include <libavutil/error.h>
#include <libavutil/frame.h>
#include <libavutil/imgutils.h>
#include <libavutil/log.h>
#include <libavutil/mathematics.h>
#include <libavutil/mem.h>
#include <libavutil/opt.h>
#include <libavutil/parseutils.h>
#include <libavutil/pixdesc.h>
#include <libavutil/samplefmt.h>
#include <libavutil/time.h>
#include <libavutil/tx.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
#include <SDL.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
}

// clang-format off
#define SNIP_AVCODEC_ENTRIES(X) \
    X(avcodec_version) \
    X(avcodec_find_decoder) X(avcodec_find_decoder_by_name) \
    X(avcodec_find_encoder) X(avcodec_find_encoder_by_name) \
    X(avcodec_alloc_context3) X(avcodec_free_context) X(avcodec_open2) X(avcodec_get_class) \
    X(avcodec_parameters_to_context) X(avcodec_parameters_from_context) \
    X(avcodec_parameters_alloc) X(avcodec_parameters_free) X(avcodec_parameters_copy) \
    X(avcodec_send_packet) X(avcodec_receive_frame) X(avcodec_send_frame) X(avcodec_receive_packet) \
    X(avcodec_flush_buffers) X(avcodec_descriptor_get) X(avcodec_get_name) X(avcodec_string) \
    X(av_codec_iterate) X(av_codec_is_encoder) X(av_codec_is_decoder) \
    X(av_packet_alloc) X(av_packet_free) X(av_packet_unref) X(av_packet_ref) X(av_packet_move_ref) \
    X(av_packet_rescale_ts) \
    X(av_packet_new_side_data) X(av_packet_get_side_data) \
    X(av_new_packet) X(av_get_bits_per_sample) \
    X(avcodec_decode_subtitle2) X(avsubtitle_free) X(avcodec_encode_subtitle) \
    X(avcodec_align_dimensions2) \
    X(av_bsf_get_by_name) \
    X(av_bsf_alloc) \
    X(av_bsf_free) \
    X(av_bsf_init) \
    X(av_bsf_send_packet) \
    X(av_bsf_receive_packet)

#define SNIP_AVDEVICE_ENTRIES(X) \
    X(avdevice_version) X(avdevice_register_all)

#define SNIP_AVFILTER_ENTRIES(X) \
    X(avfilter_version) X(avfilter_get_by_name) X(av_filter_iterate) \
    X(avfilter_graph_alloc) X(avfilter_graph_free) X(avfilter_graph_create_filter) \
    X(avfilter_graph_config) X(avfilter_graph_parse_ptr) X(avfilter_link) \
    X(avfilter_inout_alloc) X(avfilter_inout_free) \
    X(av_buffersrc_add_frame_flags) X(av_buffersink_get_frame) X(av_buffersink_get_time_base)

#define SNIP_AVFORMAT_ENTRIES(X) \
    X(avformat_version) \
    X(avformat_alloc_context) X(avformat_free_context) X(avformat_get_class) \
    X(avformat_open_input) X(avformat_close_input) X(avformat_find_stream_info) \
    X(avformat_alloc_output_context2) X(avformat_new_stream) X(avformat_write_header) \
    X(av_interleaved_write_frame) X(av_write_frame) X(av_write_trailer) \
    X(av_read_frame) X(av_read_pause) X(av_read_play) X(av_seek_frame) X(avformat_seek_file) \
    X(av_find_input_format) X(av_guess_format) X(av_guess_codec) X(av_find_best_stream) \
    X(av_dump_format) X(av_demuxer_iterate) X(av_muxer_iterate) \
    X(av_filename_number_test) X(av_codec_get_id) X(av_codec_get_tag) X(av_sdp_create) \
    X(av_pkt_dump_log2) \
    X(avio_alloc_context) X(avio_context_free) X(avio_open) X(avio_open2) X(avio_closep) \
    X(avio_write) X(avio_flush) X(avio_seek) X(avio_size) X(avio_feof) X(avio_enum_protocols) \
    X(avio_read)

#define SNIP_AVUTIL_ENTRIES(X) \
    X(avutil_version) \
    X(av_log) X(av_vlog) X(av_log_default_callback) X(av_log_get_level) X(av_log_set_callback) \
    X(av_log_set_level) X(av_log_format_line2) X(av_strerror) \
    X(av_malloc) X(av_mallocz) X(av_realloc) X(av_free) X(av_freep) X(av_strdup) \
    X(av_strlcpy) X(av_strstart) \
    X(av_compare_ts) X(av_rescale) X(av_rescale_q) X(av_rescale_q_rnd) X(av_gcd) X(av_reduce) \
    X(av_find_nearest_q_idx) X(av_d2q) \
    X(av_opt_find) X(av_opt_set) X(av_opt_set_bin) X(av_opt_set_int) X(av_opt_set_double) X(av_opt_get) \
    X(av_opt_get_int) X(av_opt_set_defaults) X(av_opt_next) X(av_opt_set_dict) \
    X(av_dict_set) X(av_dict_get) X(av_dict_free) X(av_dict_copy) X(av_dict_count) \
    X(av_frame_alloc) X(av_frame_free) X(av_frame_unref) X(av_frame_get_buffer) \
    X(av_frame_make_writable) X(av_frame_ref) X(av_frame_copy) X(av_frame_copy_props) \
    X(av_samples_get_buffer_size) X(av_samples_alloc) X(av_samples_set_silence) X(av_samples_copy) \
    X(av_get_bytes_per_sample) X(av_get_sample_fmt) X(av_get_sample_fmt_name) \
    X(av_get_packed_sample_fmt) X(av_sample_fmt_is_planar) \
    X(av_get_pix_fmt) X(av_get_pix_fmt_name) X(av_pix_fmt_desc_get) \
    X(av_channel_layout_default) X(av_channel_layout_copy) X(av_channel_layout_uninit) \
    X(av_channel_layout_compare) X(av_channel_layout_from_mask) X(av_channel_layout_describe) \
    X(av_audio_fifo_alloc) X(av_audio_fifo_free) X(av_audio_fifo_write) X(av_audio_fifo_read) \
    X(av_audio_fifo_size) X(av_audio_fifo_drain) \
    X(av_parse_time) X(av_parse_video_rate) X(av_parse_video_size) \
    X(av_gettime) X(av_gettime_relative) \
    X(av_image_copy) X(av_image_alloc) X(av_image_fill_arrays) X(av_image_get_buffer_size) \
    X(av_rescale_rnd) \
    X(av_samples_fill_arrays) \
    X(av_tx_init) X(av_tx_uninit)

#define SNIP_SWSCALE_ENTRIES(X) \
    X(swscale_version) X(sws_getContext) X(sws_getCachedContext) X(sws_scale) X(sws_freeContext) \
    X(sws_get_class) X(sws_alloc_context) X(sws_init_context)

// Bound under the avcore kind: resampling and sample-format conversion moved here.
#define SNIP_SWRESAMPLE_ENTRIES(X) \
    X(swresample_version) X(swr_alloc_set_opts2) X(swr_init) X(swr_free) X(swr_convert) \
    X(swr_get_delay) X(swr_set_compensation) X(swr_get_class)

#define SNIP_LIBC_ENTRIES(X) \
    X(fclose) X(fopen) X(fprintf) X(fread) X(fseek) X(ftell) X(fwrite) X(snprintf) X(strtod) \
    X(strtok) X(strtol) X(vsprintf)

#define SNIP_SDL_ENTRIES(X) \
    X(SDL_GetVersion) X(SDL_Init) X(SDL_InitSubSystem) X(SDL_QuitSubSystem) X(SDL_Quit) \
    X(SDL_WasInit) \
    X(SDL_GetError) X(SDL_setenv) X(SDL_SetHint) X(SDL_Delay) X(SDL_GetTicks) \
    X(SDL_AddTimer) X(SDL_RemoveTimer) \
    X(SDL_OpenAudio) X(SDL_PauseAudio) X(SDL_CloseAudio) X(SDL_MixAudioFormat) \
    X(SDL_OpenAudioDevice) X(SDL_PauseAudioDevice) X(SDL_CloseAudioDevice) \
    X(SDL_LockAudio) X(SDL_UnlockAudio) \
    X(SDL_WaitEvent) X(SDL_WaitEventTimeout) X(SDL_PollEvent) X(SDL_PushEvent) X(SDL_EventState) \
    X(SDL_RegisterEvents) \
    X(SDL_CreateWindow) X(SDL_DestroyWindow) X(SDL_SetWindowTitle) \
    X(SDL_SetWindowSize) X(SDL_GetWindowSize) \
    X(SDL_CreateRenderer) X(SDL_CreateSoftwareRenderer) X(SDL_DestroyRenderer) \
    X(SDL_CreateRGBSurfaceWithFormat) X(SDL_FreeSurface) \
    X(SDL_CreateTexture) X(SDL_DestroyTexture) X(SDL_UpdateYUVTexture) \
    X(SDL_RenderClear) X(SDL_RenderCopy) X(SDL_RenderPresent) X(SDL_SetRenderDrawColor) \
    X(SDL_RenderFillRect) \
    X(SDL_CreateMutex) X(SDL_DestroyMutex) X(SDL_LockMutex) X(SDL_UnlockMutex) \
    X(SDL_CreateCond) X(SDL_DestroyCond) X(SDL_CondSignal) X(SDL_CondWait) X(SDL_CondWaitTimeout) \
    X(SDL_CreateThread) X(SDL_WaitThread) \
    X(SDL_GetCurrentAudioDriver) X(SDL_GetCurrentVideoDriver)
// clang-format on

namespace ff {
#define SNIP_DECLARE_ENTRY(name) extern decltype(&::name) name;
SNIP_AVCODEC_ENTRIES(SNIP_DECLARE_ENTRY)
SNIP_AVDEVICE_ENTRIES(SNIP_DECLARE_ENTRY)
SNIP_AVFILTER_ENTRIES(SNIP_DECLARE_ENTRY)
SNIP_AVFORMAT_ENTRIES(SNIP_DECLARE_ENTRY)
SNIP_AVUTIL_ENTRIES(SNIP_DECLARE_ENTRY)
SNIP_SWSCALE_ENTRIES(SNIP_DECLARE_ENTRY)
SNIP_SWRESAMPLE_ENTRIES(SNIP_DECLARE_ENTRY)
SNIP_LIBC_ENTRIES(SNIP_DECLARE_ENTRY)
SNIP_SDL_ENTRIES(SNIP_DECLARE_ENTRY)
#undef SNIP_DECLARE_ENTRY
} // namespace ff
