#pragma once

// Whether this Windows program runs under Wine, whose files and sockets
// differ from Windows' in ways some rows must skip or go around: it makes no
// reparse point itself, a file deleted while open keeps its name and opens
// as before, and a datagram socket bound to one loopback address sends from
// 127.0.0.1. Always false elsewhere.
bool underWine();
