#pragma once
// Whether what the console wrote reached its reader. A reader that went
// away (a pipe into `head`) or a full disk must not end or change a
// download; the loss is told once at the end instead.

#include <cstdio>
#include <string>

namespace talvex {

// Flushes the stream. On failure the first reason is kept for StreamLoss.
bool FlushAndNote(std::FILE* stream);

// Why some of the output to the stream was lost, after flushing what is
// left; empty when all of it was written.
std::string StreamLoss(std::FILE* stream);

} // namespace talvex
