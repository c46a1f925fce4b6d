#include "stream/stream_errors.h"

namespace velkor {
namespace stream_errors {

namespace {

const char kTransferAdvice[] =
    "If you're working with file-sharing, please try again. Otherwise there might be either a "
    "network failure, or a file I/O error !";
const char kResizeAdvice[] =
    "If you're working with file-sharing, please try again. Otherwise there might be a network "
    "failure, or a file I/O error, and or file size out of disk space error!";
constexpr std::size_t kResizeParamsCapacity = 4096;

}  // namespace

_exception read_error(int32_t available, int32_t count, const char* name, int32_t code) {
  return _exception("_stream.ReadErr", "Failed to read data from the stream!", "_stream::read()",
                    format_params(kParamsCapacity,
                                  "AvailableSize[%d] RequiredSize[%d] StreamName[%s] ErrCode[%d]",
                                  available, count, name, code),
                    kTransferAdvice);
}

_exception write_error(int32_t size, int32_t count, const char* name, int32_t code) {
  return _exception(
      "_stream.WriteErr", "Failed to write data to the stream!", "_stream::write()",
      format_params(kParamsCapacity, "CurStreamSize[%d] DataSize[%d] StreamName[%s] ErrCode[%d]",
                    size, count, name, code),
      kTransferAdvice);
}

_exception resize_error(int32_t size, int32_t new_size, const char* name, int32_t code) {
  return _exception("_stream.ResizeErr", "Failed to change stream size!", "_stream::resize()",
                    format_params(kResizeParamsCapacity,
                                  "CurStreamSize[%d] NewSize[%d] StreamName[%s] ErrCode[%d]", size,
                                  new_size, name, code),
                    kResizeAdvice);
}

_exception seek_error(int32_t offset, int32_t size, const char* name, int32_t code) {
  return _exception(
      "_stream.SeekErr", "Failed to seek in the stream!", "_fstream::seek()",
      format_params(kParamsCapacity, "SeekOffset[%d] CurStreamSize[%d] FileName[%s] ErrCode[%d]",
                    offset, size, name, code),
      "");
}

_exception size_error(const char* name, int32_t code) {
  return _exception("_stream.SizeErr", "Failed to get size of stream!", "_fstream::size()",
                    format_params(kParamsCapacity, "FileName[%s] ErrCode[%d]", name, code), "");
}

_exception open_error(const char* path, const std::string& mode_words, int32_t code) {
  return _exception("_fstream.ErrOpenFile", "Failed to open file!", "_fstream::open()",
                    format_params(kParamsCapacity, "FileName[%s] OpenMode[%s] ErrCode[%d]", path,
                                  mode_words.c_str(), code),
                    "");
}

_exception roll_back_error(const char* name, int32_t code) {
  return _exception("_fstream.RollbackErr", "Failed to restore the last save of the file!",
                    "_fstream::open()",
                    format_params(kParamsCapacity, "FileName[%s] ErrCode[%d]", name, code),
                    "A save did not complete. The journal beside the file holds what restores "
                    "the last completed save: keep it, and open the index again once the file "
                    "can be written.");
}

_exception invalid_origin() {
  return _exception("", "Invalid parameters seeking in stream", "", "", "");
}

_exception memstream_null_adapter() {
  return _exception("_memstream.CtorFailure",
                    "Couldn't construct a memory stream with a null adapter!", "", "", "");
}

}  // namespace stream_errors
}  // namespace velkor
