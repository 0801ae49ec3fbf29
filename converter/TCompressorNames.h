#pragma once

#include <memory>
#include <string>
#include <vector>

#include <windows.h>
#include <mmreg.h>
#include <vfw.h>
#include <strmif.h>

#include "core/ComPtr.h"

// Finds a compressor by the name the platform's lists show, and gives the
// record the output's setCompressor takes. `available` receives the names
// when `name` matches none (case is ignored).
namespace TCompressorNames {

// VfW video compressors that accept `input`: their descriptions (ICGetInfo),
// also found by their four-character handler.
bool findVideoCompressor(const std::string& name, const BITMAPINFOHEADER& input, AVICOMPRESSOPTIONS& options,
                         std::vector<std::string>& available);

// ACM formats that `input` converts to, named "format tag, attributes" as the
// platform's format chooser shows them; the tag name alone picks the format
// that ACM suggests for it. `format` holds the chosen format block.
bool findAudioFormat(const std::string& name, const WAVEFORMATEX& input, std::vector<BYTE>& format,
                     std::vector<std::string>& available);

// DirectShow filters of the video or audio compressor category, by friendly name.
bool findDirectShowCompressor(const std::string& name, bool video, ComPtr<IMoniker>& moniker,
                              std::vector<std::string>& available);

} // namespace TCompressorNames
