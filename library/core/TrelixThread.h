#pragma once

#include "TrelixExport.h"

// Registers the calling thread with the library: COM in the multithreaded
// apartment and AVIFile initialised. Every thread that calls the library calls
// it first; the library undoes it when the thread (or the process) detaches.
TRELIX_API void TrelixThread();

// Re-initialises COM on the calling thread, in the single-threaded apartment
// when `apartment` is true, else in the multithreaded one. On a registered
// thread AVIFile is shut down first and initialised again afterwards.
TRELIX_API void TemporaryApartmentThreading(bool apartment);
