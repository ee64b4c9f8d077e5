// sigpat create: a pattern file from an interval of an audio file, with a warning for a pattern
// that similar sounds may match, and its speed variants when asked.
#include <string>

#include "commands.h"
#include "messages.h"
#include "output.h"
#include "SignalTVS.h"

namespace sigpat {

int RunCreate(const CreateArgs& args) {
  std::string written = CreatePatternFile(args);
  DetectorView view;
  SignalTVSEx record;
  LoadPattern(written, record);
  const double seconds = static_cast<double>(record.Nblock) * 576.0 / kLibraryRate;
  if (ViewThroughDetector(written, view) && view.negative < kPlainPatternDistance)
    PrintWarning(written + ": a plain pattern (short and simple): similar sounds may match it (sigpat info shows why)");
  else if (seconds < kShortPatternSeconds)
    PrintWarning(written + ": a short clip (" + std::to_string(seconds).substr(0, 4) +
                 " s): parts of other sounds may match it; a longer interval is safer");
  if (!WriteOut(EscapeControl(written) + "\n")) return kExitFailure;
  for (const std::string& variant : CreateSpeedVariants(args, written))
    if (!WriteOut(EscapeControl(variant) + "\n")) return kExitFailure;
  return kExitOk;
}

}  // namespace sigpat
