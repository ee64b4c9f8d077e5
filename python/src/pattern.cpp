// Pattern: a pattern file as the library loads it. The spectrum and the band levels are numpy
// views of the loaded record (read-only, kept alive by the Pattern), not copies.
#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <memory>
#include <string>

#include "bindings.h"
#include "scanner.h"
#include "sp_helpers.h"

namespace py = pybind11;

namespace sppy {

namespace {

constexpr int kSamplesPerBlock = 576;

struct Pattern {
  std::string path;
  std::unique_ptr<SignalTVSEx> record = std::make_unique<SignalTVSEx>();
};

py::array ReadOnly(py::array a) {
  py::detail::array_proxy(a.ptr())->flags &= ~py::detail::npy_api::NPY_ARRAY_WRITEABLE_;
  return a;
}

}  // namespace

void BindPattern(py::module_& m) {
  py::class_<Pattern>(m, "Pattern", "A pattern file (.tvs) as the library loads it.")
      .def_static(
          "load",
          [](const std::string& path) {
            auto p = std::make_unique<Pattern>();
            p->path = path;
            {
              py::gil_scoped_release release;
              sigpat::LoadPattern(path, *p->record);
            }
            return p;
          },
          py::arg("path"),
          "Loads a pattern file. Raises SignalPatternError naming the file and the problem (missing, "
          "not a pattern file; the library's reasons in its library_messages).")
      .def_readonly("path", &Pattern::path, "The path the pattern was loaded from.")
      .def_property_readonly(
          "name", [](const Pattern& p) { return std::string(FileNameOfPath(static_cast<const char*>(p.record->FileName))); },
          "The pattern's name as the library reports it in detections.")
      .def_property_readonly(
          "source",
          [](const Pattern& p) -> py::object {
            if (p.record->InputFileName == nullptr) return py::none();
            return py::str(std::string(p.record->InputFileName));
          },
          "The name of the audio the pattern was made from, or None when the file does not record it.")
      .def_property_readonly("protocol", [](const Pattern& p) { return static_cast<unsigned>(p.record->Protocol & 0xFFFFu); },
                             "Header: protocol number.")
      .def_property_readonly("format_version", [](const Pattern& p) { return static_cast<unsigned>(p.record->Protocol >> 16); },
                             "Header: file format version.")
      .def_property_readonly("ndft", [](const Pattern& p) { return p.record->Ndft; }, "Header: DFT length.")
      .def_property_readonly("nband", [](const Pattern& p) { return p.record->Nband; }, "Header: frequency bands.")
      .def_property_readonly("nblock", [](const Pattern& p) { return p.record->Nblock; }, "Header: time blocks.")
      .def_property_readonly("rate", [](const Pattern& p) { return p.record->Fs; }, "Header: sample rate (Hz).")
      .def_property_readonly("epsilon", [](const Pattern& p) { return p.record->Epsilon; }, "Header: Epsilon.")
      .def_property_readonly("nsample_create", [](const Pattern& p) { return p.record->NSampleCreate; },
                             "Header: NSampleCreate.")
      .def_property_readonly(
          "duration",
          [](const Pattern& p) { return static_cast<double>(p.record->Nblock) * kSamplesPerBlock / p.record->Fs; },
          "Length of the clip in seconds (time blocks of 576 samples).")
      .def_property_readonly(
          "spectrum",
          [](py::object self) {
            const SignalTVSEx& r = *self.cast<const Pattern&>().record;
            // Stored newest block first: a view with a negative stride gives the blocks in time order.
            const py::ssize_t nb = r.Nblock, nbands = r.Nband, f = sizeof(float);
            return ReadOnly(py::array(py::dtype::of<float>(), {nb, nbands}, {-nbands * f, f},
                                      r.Spectrum + (nb - 1) * nbands, self));
          },
          "Band powers, float32 array of shape (nblock, nband), first time block first (a read-only "
          "view of the loaded pattern).")
      .def_property_readonly(
          "band_rms",
          [](py::object self) {
            const SignalTVSEx& r = *self.cast<const Pattern&>().record;
            return ReadOnly(py::array(py::dtype::of<float>(), {static_cast<py::ssize_t>(r.Nband)}, {}, r.BandRms, self));
          },
          "Mean power of every band, float32 array of shape (nband,) (a read-only view).")
      .def("__repr__", [](const Pattern& p) {
        return "<signalpattern.Pattern " + p.path + ": " + std::to_string(p.record->Nblock) + " blocks>";
      });
}

}  // namespace sppy
