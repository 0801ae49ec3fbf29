#pragma once

// The whole exported interface of Trelix.dll. Clients compile with -I library.
#include "core/AudioOrVideoStream.h"
#include "core/AudioSourceStream.h"
#include "core/RawDataSourceStream.h"
#include "core/SourceStream.h"
#include "core/TrelixNotification.h"
#include "core/TrelixThread.h"
#include "core/VideoSourceStream.h"
#include "directshow/DSAudioOrVideoStream.h"
#include "probe/MediaContainer.h"
#include "vfw/VfWAudioSourceStream.h"
#include "vfw/VfWRawDataSourceStream.h"
#include "vfw/VfWSourceStream.h"
#include "vfw/VfWVideoSourceStream.h"
#include "vfw/VfWAudioOrVideoStream.h"
