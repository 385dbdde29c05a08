#pragma once

// What the parts of jpegimage share: how libjpeg's errors are taken, and
// the blocks decoded pixels go into.
#include <csetjmp>
#include <cstddef>
#include <cstdio> // jpeglib.h uses FILE without including it

#include <jpeglib.h>

namespace jpegimage::detail {

struct ErrorManager
{
    jpeg_error_mgr pub; // first, so the library's pointer converts back
    std::jmp_buf jump;
    char message[JMSG_LENGTH_MAX];
    bool warned; // what ended the decoding was a warning about lost data
};

[[noreturn]] void failWith(j_common_ptr cinfo, const char *text);
// Fatal errors, and warnings that mean lost data, longjmp to jump.
void setUpErrors(ErrorManager &err);

// The decoded pixels' blocks (jpegpixels.cpp): given back to a small pool,
// taken from it again.
void *takePixels(size_t size);
void givePixels(void *pixels);

} // namespace jpegimage::detail
