#pragma once

// The converter's one way to count a file's streams and name a probe error.
// TEMPORARY: until the library exports MediaContainer::streamsNumber and
// MediaContainer::Message, this counts streams through AVIFile (the VfW/ACM
// way, for both backends) and names only the codes it can return itself.
namespace ContainerProbe {

int streamsNumber(char* fileName, bool useDirectShow, int* videoCount, int* audioCount);
const char* message(int code);

} // namespace ContainerProbe
