#pragma once

#include "TrelixExport.h"

class SourceStream;

// Progress callback attached to a source; never owned by it. `progress` may be
// called on any thread (DirectShow streaming threads included).
//   kind 0: one more sample parsed while opening
//   kind 1: parsing finished or abandoned; opening goes on
//   kind 2: rewinding and replaying to reach an earlier position
//   kind 3: one more sample examined while searching times
class TRELIX_API TrelixNotification {
public:
    TrelixNotification();
    virtual ~TrelixNotification();
    virtual void progress(int kind) = 0;

    // The stream this notification is attached to; set by a backend's open.
    SourceStream* stream;
};
