// signalpattern._core: the sigpat tool's core for Python. Scanning (push and file), pattern
// creation from arrays, errors as exceptions. The package signalpattern wraps it (detections
// as objects, argument normalisation); see python/signalpattern/__init__.py.
//
// Audio is processed with the GIL released: several scanners in several threads run in
// parallel (each recognizer is used by one thread at a time, guarded by its own lock).
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "array_audio.h"
#include "bindings.h"
#include "messages.h"
#include "pattern_making.h"
#include "record_format.h"
#include "sample_stream.h"
#include "scanner.h"

namespace py = pybind11;

namespace sppy {

namespace {

constexpr std::size_t kChunkFrames = 1 << 16;  // frames converted at a time

// A detection as the JSON line sigpat scan --json prints (signalpattern.Detection takes its
// fields from it, and its type from detection_keys), with its positions moved by offset samples.
std::string ToJson(sigpat::Detection d, std::int64_t offset) {
  d.report.Begin += offset;
  d.report.End += offset;
  d.beginSeconds = static_cast<double>(d.report.Begin) / sigpat::kLibraryRate;
  d.endSeconds = static_cast<double>(d.report.End) / sigpat::kLibraryRate;
  return sigpat::FormatDetectionJson(d);
}

py::list ToList(const std::vector<sigpat::Detection>& found, std::int64_t offset = 0) {
  py::list list;
  for (const auto& d : found) list.append(ToJson(d, offset));
  return list;
}

// The pattern files of a scan, as sigpat scan takes them: directories give their .tvs files in
// name order, the detector adds the speed variants beside them; each file is loaded once to
// refuse a bad one with its own name and reason.
std::vector<std::string> PatternFiles(const std::vector<std::string>& items, const std::string& decision) {
  if (items.empty()) throw py::value_error("no patterns given");
  if (!sigpat::MakeDecisionRule(decision))
    throw py::value_error("unknown decision rule \"" + decision + "\" (use \"detector\" or \"library\")");
  std::vector<std::string> files = sigpat::GatherPatternFiles(items);
  if (decision == "detector") files = sigpat::WithSpeedVariants(files);
  for (const auto& file : files) {
    SignalTVSEx record;
    sigpat::LoadPattern(file, record);
  }
  return files;
}

sigpat::ScanOptions Options(const std::string& decision, std::optional<float> threshold, bool detailCheck) {
  sigpat::ScanOptions options;
  options.rule = decision;
  options.detailCheck = detailCheck;
  if (threshold) {
    if (!(*threshold >= 0.0f)) throw py::value_error("threshold must be a number >= 0");
    if (decision != "library")
      throw py::value_error("threshold sets the library's own rule (add decision=\"library\"); the detector keeps a "
                            "threshold per pattern, tuned on background audio with 'sigpat calibrate'");
    options.threshold = *threshold;
  }
  return options;
}

// A scan fed by the caller, array by array.
class StreamScanner {
 public:
  StreamScanner(const std::vector<std::string>& patterns, const std::string& decision, std::optional<float> threshold,
                int rate, int channel, const std::string& name, bool detailCheck)
      : channel_(channel), rate_(rate) {
    if (rate < 1) throw py::value_error("rate must be a positive number of samples per second");
    if (channel < 0) throw py::value_error("channel must be 0 (the mean of all channels) or a channel number from 1");
    const std::vector<std::string> files = PatternFiles(patterns, decision);
    stream_ = std::make_unique<sigpat::SampleStream>(name, rate);
    py::gil_scoped_release release;
    session_ = std::make_unique<sigpat::ScanSession>(files, Options(decision, threshold, detailCheck), name);
  }

  py::list Feed(const py::array& samples) {
    ArrayAudio audio(samples, channel_);
    if (channels_ < 0) channels_ = audio.channels();
    if (audio.channels() != channels_)
      throw py::value_error("the samples have " + std::to_string(audio.channels()) + " channels, the scan started with " +
                            std::to_string(channels_));
    std::vector<sigpat::Detection> found;
    {
      py::gil_scoped_release release;
      std::lock_guard<std::mutex> lock(mutex_);
      CheckOpen();
      auto emit = [&found](const sigpat::Detection& d) { found.push_back(d); };
      const std::int16_t* direct = rate_ == sigpat::kLibraryRate ? audio.DirectS16() : nullptr;
      if (direct != nullptr) {
        session_->Feed(direct, static_cast<std::size_t>(audio.frames()), emit);
      } else {
        for (std::int64_t first = 0; first < audio.frames(); first += kChunkFrames) {
          const auto n = static_cast<std::size_t>(std::min<std::int64_t>(kChunkFrames, audio.frames() - first));
          mono_.resize(n);
          audio.Mono(first, n, mono_.data());
          converted_.clear();
          stream_->Push(mono_.data(), n, converted_);
          session_->Feed(converted_.data(), converted_.size(), emit);
        }
      }
      fed_ += audio.frames();
    }
    return ToList(found);
  }

  py::list Finish() {
    std::vector<sigpat::Detection> found;
    {
      py::gil_scoped_release release;
      std::lock_guard<std::mutex> lock(mutex_);
      CheckOpen();
      finished_ = true;
      auto emit = [&found](const sigpat::Detection& d) { found.push_back(d); };
      converted_.clear();
      stream_->End(converted_);
      session_->Feed(converted_.data(), converted_.size(), emit);
      if (fed_ == 0) throw sigpat::Error("no audio samples were fed to the scanner");
      session_->Finish(emit);
    }
    return ToList(found);
  }

 private:
  void CheckOpen() const {
    if (finished_) throw sigpat::Error("the scan has finished (make a new Scanner for the next input)");
  }

  std::mutex mutex_;
  std::unique_ptr<sigpat::ScanSession> session_;
  std::unique_ptr<sigpat::SampleStream> stream_;
  int channel_, rate_;
  int channels_ = -1;  // fixed by the first array
  std::int64_t fed_ = 0;
  bool finished_ = false;
  std::vector<double> mono_;
  std::vector<std::int16_t> converted_;
};

py::list ScanFile(const std::string& path, const std::vector<std::string>& patterns, const std::string& decision,
                  std::optional<float> threshold, int channel, std::int64_t start, std::optional<std::int64_t> stop,
                  const std::string& name, bool detailCheck) {
  if (start < 0) throw py::value_error("start must be >= 0");
  if (stop && *stop <= start) throw py::value_error("stop must lie after start");
  if (channel < 0) throw py::value_error("channel must be 0 (the mean of all channels) or a channel number from 1");
  const std::vector<std::string> files = PatternFiles(patterns, decision);
  std::vector<sigpat::Detection> found;
  double missing = 0.0;  // seconds of a file cut short after its header
  {
    py::gil_scoped_release release;
    sigpat::AudioOptions audio;
    audio.channel = channel;
    audio.startFrame = start;
    std::unique_ptr<sigpat::AudioInput> in = sigpat::AudioInput::Open(path, audio);
    if (start != 0 && in->sourceRate() != sigpat::kLibraryRate)
      throw sigpat::Error(path + ": a scan can start inside a file only at 44100 Hz (the file has " +
                          std::to_string(in->sourceRate()) + " Hz)");
    auto emit = [&found](const sigpat::Detection& d) { found.push_back(d); };
    sigpat::ScanSession session(files, Options(decision, threshold, detailCheck), name.empty() ? path : name);
    std::int64_t left = stop ? *stop - start : -1;
    std::vector<std::int16_t> block(kChunkFrames);
    std::int64_t total = 0;
    while (left != 0) {
      const std::size_t want = left < 0 ? block.size() : static_cast<std::size_t>(std::min<std::int64_t>(left, block.size()));
      const std::size_t got = in->Read(block.data(), want);
      if (got == 0) break;
      session.Feed(block.data(), got, emit);
      total += static_cast<std::int64_t>(got);
      if (left > 0) left -= static_cast<std::int64_t>(got);
    }
    if (total == 0) throw sigpat::Error(path + ": holds no audio samples");
    session.Finish(emit);
    if (left != 0) missing = in->missingSeconds();
  }
  if (missing > 0.0) {
    char text[200];
    std::snprintf(text, sizeof text, ": the file ends %.1f s before the length its header gives (cut short?); it was "
                  "scanned as far as it goes", missing);
    if (PyErr_WarnEx(PyExc_UserWarning, (path + text).c_str(), 1) != 0) throw py::error_already_set();
  }
  return ToList(found, start);
}

std::string CreatePattern(const py::array& samples, int rate, const std::string& path, std::optional<std::int64_t> begin,
                          std::optional<std::int64_t> end, const std::string& source, int channel) {
  if (rate < 1) throw py::value_error("rate must be a positive number of samples per second");
  if (path.empty()) throw py::value_error("path must name the pattern file to write");
  ArrayAudio audio(samples, channel);
  if (audio.frames() == 0) throw py::value_error("samples is empty");
  py::gil_scoped_release release;
  std::unique_ptr<sigpat::AudioInput> in = sigpat::AudioInput::FromSource(
      source, std::make_unique<ArrayFrameSource>(audio), rate, audio.channels(), audio.frames());
  sigpat::CreateArgs args;
  args.input = source;
  args.begin = begin;
  args.end = end;
  args.output = path;
  return sigpat::CreatePatternFile(args, *in);
}

}  // namespace

}  // namespace sppy

PYBIND11_MODULE(_core, m) {
  using namespace sppy;
  m.doc() = "The sigpat tool's core (scanner, audio input, pattern creation); use the package signalpattern.";
  sigpat::InstallLibrarySink();  // the library's lines go with the exceptions (library_messages)

  static py::exception<sigpat::Error> error(m, "SignalPatternError", PyExc_RuntimeError);
  error.doc() =
      "A file, pattern or audio problem. The message is one English line naming the file, the problem and, where "
      "there is one, what to do; library_messages holds the library's own lines about it (UTF-8, often Russian), "
      "empty when it said nothing.";
  error.attr("library_messages") = py::tuple();
  py::register_exception_translator([](std::exception_ptr p) {
    try {
      if (p) std::rethrow_exception(p);
    } catch (const sigpat::Error& e) {
      // The message a user reads is the tool's line; the library's lines ride along for a developer.
      py::tuple lines(e.details().size());
      for (std::size_t i = 0; i < e.details().size(); ++i) {
        const std::string& line = e.details()[i];
        PyObject* text = PyUnicode_DecodeUTF8(line.data(), static_cast<Py_ssize_t>(line.size()), "replace");
        if (text == nullptr) throw py::error_already_set();
        lines[i] = py::reinterpret_steal<py::str>(text);
      }
      py::object instance = py::reinterpret_borrow<py::object>(error.ptr())(e.what());
      instance.attr("library_messages") = lines;
      PyErr_SetObject(error.ptr(), instance.ptr());
    } catch (const sigpat::UsageError& e) {
      PyErr_SetString(PyExc_ValueError, e.what());
    }
  });

  BindPattern(m);

  py::class_<StreamScanner>(m, "StreamScanner")
      .def(py::init<const std::vector<std::string>&, const std::string&, std::optional<float>, int, int, const std::string&,
                    bool>(),
           py::arg("patterns"), py::arg("decision"), py::arg("threshold"), py::arg("rate"), py::arg("channel"),
           py::arg("name"), py::arg("detail_check") = true, "A scan fed array by array (see signalpattern.Scanner).")
      .def("feed", &StreamScanner::Feed, py::arg("samples"), "Scans the next samples; returns the detections confirmed so far.")
      .def("finish", &StreamScanner::Finish, "Ends the input; returns the last detections.");

  m.def("scan_file", &ScanFile, py::arg("path"), py::arg("patterns"), py::arg("decision"), py::arg("threshold"),
        py::arg("channel"), py::arg("start"), py::arg("stop"), py::arg("name"), py::arg("detail_check") = true,
        "Scans samples start .. stop - 1 of an audio file (see signalpattern.scan_file).");
  m.def("create_pattern", &CreatePattern, py::arg("samples"), py::arg("rate"), py::arg("path"), py::arg("begin"),
        py::arg("end"), py::arg("source"), py::arg("channel"), "Writes a pattern file from samples; returns the path written.");
  m.def(
      "pattern_files", [](const std::vector<std::string>& items, const std::string& decision) { return PatternFiles(items, decision); },
      py::arg("items"), py::arg("decision"), "The pattern files a scan of these items loads (see signalpattern.pattern_files).");
  m.def(
      "set_verbose",
      [](bool on) {
        sigpat::Verbosity v = sigpat::GetVerbosity();
        v.verbose = on;
        sigpat::SetVerbosity(v);
      },
      py::arg("on"), "Writes the library's own lines on stderr as they come (see signalpattern.set_verbose).");
  m.def(
      "detection_keys",
      [] {
        static const char* const when[] = {"always", "clock", "detector", "undecided", "ranked"};
        py::list keys;
        for (const sigpat::DetectionKey& k : sigpat::DetectionKeys())
          keys.append(py::make_tuple(k.key, k.field != nullptr ? k.field : k.key, k.type, when[static_cast<int>(k.when)]));
        return keys;
      },
      "The keys of a detection's JSON line in its order: (key, field, type, when) (see signalpattern.Detection).");
  m.def(
      "audio_info",
      [](const std::string& path) {
        std::unique_ptr<sigpat::AudioInput> in = sigpat::AudioInput::Open(path, sigpat::AudioOptions{});
        return py::make_tuple(in->expectedSamples(), in->sourceRate(), in->sourceChannels(), in->description());
      },
      py::arg("path"), "(samples at 44100 Hz, rate, channels, format) of an audio file.");
}
