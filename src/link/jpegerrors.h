#pragma once

// How the decoder and the encoder of jpegimage take libjpeg's errors: shared
// by jpegimage.cpp and jpegimage_decode.cpp only.
#include <csetjmp>
#include <cstdio> // jpeglib.h uses FILE without including it

#include <jpeglib.h>

namespace jpegimage::detail {

struct ErrorManager
{
    jpeg_error_mgr pub; // first, so the library's pointer converts back
    std::jmp_buf jump;
    char message[JMSG_LENGTH_MAX];
};

[[noreturn]] void failWith(j_common_ptr cinfo, const char *text);
// Fatal errors, and warnings that mean lost data, longjmp to jump.
void setUpErrors(ErrorManager &err);

} // namespace jpegimage::detail
