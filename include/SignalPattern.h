// SignalPattern library: the one header a client includes.
#ifndef SP_SIGNALPATTERN_H
#define SP_SIGNALPATTERN_H

#include "sp_types.h"
#include "sp_platform.h"
#include "sp_log.h"
#include "sp_helpers.h"
#include "DFTFilter.h"
#include "IirBiq.h"
#include "RecognitionParams.h"
#include "SignalTVS.h"
#include "DeviationStat.h"
#include "PatternStatistics.h"
#include "TimeSpectrumEstimation.h"
#include "SignalPatternRecognizer.h"
#include "PatternDetector.h"

#endif
