"""Synthesised speech of the broadcast corpus: station names, advert texts and DJ talk from
espeak-ng and flite, each set with voices of its own."""

import os

from audio import CorpusError, run, sox, frames, RATE

# Voices: (engine, voice, words per minute for espeak-ng). The held-out set never hears a
# development voice.
VOICES = {
    "dev": [("espeak-ng", "en-us", 165), ("flite", "kal", 0), ("espeak-ng", "en-gb", 160), ("flite", "awb", 0)],
    "holdout": [("flite", "slt", 0), ("espeak-ng", "en-gb-scotland", 160), ("flite", "rms", 0),
                ("espeak-ng", "en-029", 165)],
}


def say(text, voice, out, gain_db=-3.0):
    """Speaks text with voice (an entry of VOICES) into a mono 44100 Hz WAV, peak-normalised to
    gain_db dBFS, leading and trailing silence trimmed. Returns its length in samples."""
    if os.path.exists(out):
        return frames(out)
    engine, name, wpm = voice
    raw = out + ".tts.wav"
    if engine == "espeak-ng":
        run(["espeak-ng", "-v", name, "-s", str(wpm), "-w", raw, text], f"{out}: espeak-ng voice {name}")
    else:
        run(["flite", "-voice", name, "-t", text, "-o", raw], f"{out}: flite voice {name}")
    # Trim silence at both ends (reverse, trim, reverse), resample, normalise.
    sox([raw], out, ["silence", "1", "0.02", "0.5%", "reverse", "silence", "1", "0.02", "0.5%", "reverse",
                     "rate", "-v", str(RATE), "gain", "-n", str(gain_db)], f"{out}: speech")
    os.remove(raw)
    n = frames(out)
    if n < RATE // 4:
        raise CorpusError(f"{out}: the speech came out shorter than 0.25 s")
    return n


# Texts. Station idents name the station; the near miss of an ident is the same sting with
# another station's name.
STATIONS = {
    "dev": ["Radio Aurora", "Kestrel F M", "Meridian Ninety Nine"],
    "dev-other": ["Radio Borealis", "Falcon F M", "Horizon Ninety Nine"],
    "holdout": ["Harbour Radio", "Summit Sound", "Lakeside One"],
    "holdout-other": ["Harvest Radio", "Summit Talk", "Riverside One"],
}

ADVERTS = {
    "dev": [
        "Hungry after work? Pizza Piazza delivers hot and fresh to your door in thirty minutes. "
        "Call five five five, one two three four, or order online tonight.",
        "Big savings this weekend at Miller's Furniture. Sofas, tables and beds, all half price. "
        "Open Saturday and Sunday from nine till six.",
        "Need a new car? Drive away today at Central Motors, with low monthly payments "
        "and a free service for the first year. Central Motors, on the ring road.",
    ],
    "dev-other": [
        "Hungry after the game? Burger Barn delivers hot and tasty food in twenty minutes. "
        "Call five five five, nine eight seven six, today.",
        "Spring sale at Miller's Garden Centre. Plants, pots and tools, all reduced. "
        "Open every day from eight till eight.",
        "Looking for a van? Visit Central Vans this week, with low deposits "
        "and free delivery across the county. Central Vans, by the station.",
    ],
    "holdout": [
        "Fresh bread every morning at Baker Brothers. Warm rolls, cakes and pastries, "
        "baked on site since nineteen eighty. Baker Brothers, on the high street.",
        "Your holiday starts here. Sunway Travel has flights and hotels to the coast "
        "from just ninety nine pounds. Book now at Sunway Travel.",
        "Is your roof ready for winter? Call Top Roofs for a free quote. "
        "Repairs, gutters and new roofs, guaranteed for ten years.",
    ],
    "holdout-other": [
        "Fresh fish every morning at Harbour Market. Crab, cod and salmon, "
        "landed daily since nineteen sixty. Harbour Market, down by the quay.",
        "Your weekend starts here. Sunway Cinemas show the latest films "
        "from just five pounds. Book now at Sunway Cinemas.",
        "Is your boiler ready for winter? Call Warm Homes for a free check. "
        "Servicing, radiators and new boilers, guaranteed for five years.",
    ],
}

SWEEPERS = {
    "dev": ["More music!", "Non stop hits", "Your station"],
    "holdout": ["The best mix", "Music all day", "Turn it up"],
}

DJ_LINES = [
    "That was a great one. Coming up after the break, the travel news and the weather.",
    "Good afternoon, you are listening to the afternoon show, and we have lots of music for you.",
    "Thanks for all your messages today. Keep them coming, we read every single one.",
    "It is twenty past four, and the traffic is building up on the main roads out of town.",
    "Here is one of my favourites from this year. Turn it up and enjoy.",
    "The weather tonight: clear skies, a light breeze, and a low of eight degrees.",
    "Still to come this hour, your requests and a chance to win tickets for the concert.",
    "Lovely stuff. Now, a quick look at what is happening in town this weekend.",
    "If you have just joined us, welcome. Stay with us for the next hour of music.",
    "That song always reminds me of summer. Let us keep the good times going.",
]
