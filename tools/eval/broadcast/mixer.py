"""Sample-exact mixing of layers (a file placed at a sample position with a gain and fades)
with ffmpeg: every layer is delayed by a whole number of samples and the layers are summed
without renormalisation, so the ground truth of a programme is exactly where its layers were
put."""

import os

from audio import RATE, ffmpeg, frames, sox


class Layer:
    def __init__(self, path, start, gain_db=0.0, fade_in=0.0, fade_out=0.0):
        self.path = path
        self.start = int(start)  # first sample in the mix
        self.gain_db = gain_db
        self.fade_in = fade_in  # seconds
        self.fade_out = fade_out
        self.length = frames(path)

    @property
    def end(self):
        return self.start + self.length


def mix(layers, out, total, what, peak_db=-1.0):
    """Writes the sum of the layers, `total` samples long, as a 16-bit WAV whose peak is
    peak_db dBFS (one gain for the whole mix, so relative levels stay as given)."""
    inputs, chains, labels = [], [], []
    for i, layer in enumerate(layers):
        inputs.append(layer.path)
        f = [f"volume={layer.gain_db:.2f}dB"]
        secs = layer.length / RATE
        if layer.fade_in > 0:
            f.append(f"afade=t=in:st=0:d={layer.fade_in:.3f}")
        if layer.fade_out > 0:
            f.append(f"afade=t=out:st={max(0.0, secs - layer.fade_out):.3f}:d={layer.fade_out:.3f}")
        f.append(f"adelay=delays={layer.start}S:all=1")
        chains.append(f"[{i}:a]{','.join(f)}[l{i}]")
        labels.append(f"[l{i}]")
    graph = ";".join(chains) + ";" + "".join(labels) + \
        f"amix=inputs={len(layers)}:normalize=0:duration=longest,apad=whole_len={total},atrim=end_sample={total}[m]"
    tmp = out + ".f32.wav"
    ffmpeg(inputs, tmp, graph, what, codec=("-c:a", "pcm_f32le"), extra=("-map", "[m]"))
    sox([tmp], out, ["gain", "-n", str(peak_db)], what)
    os.remove(tmp)
