"""Versioned campaigns of the broadcast corpus: the same advert in 2-4 versions that share most
of their content and differ in one stretch, as advertisers air them. Every version is a clip (a
pattern of its own); its manifest entry names its campaign and the stretch (seconds in the clip)
where it differs from its relatives, so the evaluation knows which airings can be told apart and
which cannot (that stretch talked over or cut off).

Four kinds of campaign:
- tag: another end tag of 4-6 s (shop address, date, price) after the shared body;
- middle: another middle section (product, offer) between a shared opening and end tag;
- voice: the same bed and words in another voice;
- cutdown: a 30 s spot and its 15 s cut-down (the opening and the end tag, the body left out),
  and a second 30 s version with another end tag.

Layout of a version L seconds long: the opening spoken from 0.5 s (fitted into 6 s), the body from
7 s, the end tag ending 0.7 s before the end; the bed runs under all of it, 9 dB under the voice.
"""

import os

import speech
from audio import RATE, CorpusError, decode
from clips import NB, PG, ST, XM, LC, Clip
from mixer import Layer, mix

FB = "/usr/share/games/frozen-bubble/snd/"

PACKAGES = {"dev": ["supertux-data", "neverball-data", "pingus-data", "espeak-ng", "flite"],
            "holdout": ["xmoto-data", "lincity-ng-data", "frozen-bubble-data", "espeak-ng", "flite"]}

# Beds: (file, offset s). None of them plays as a song in the programmes of its set.
BEDS = {
    "dev": [(ST + "antarctic/arctic_breeze.ogg", 10.0), (ST + "antarctic/airship_2.ogg", 5.0),
            (ST + "castle/fortress.ogg", 8.0), (ST + "forest/forest_theme.ogg", 4.0),
            (ST + "antarctic/salcon.ogg", 6.0), (ST + "antarctic/voc-daytime.ogg", 3.0),
            (NB + "title.ogg", 5.0), (NB + "track6.ogg", 40.0), (PG + "gd-myla.it", 12.0),
            (ST + "forest/beneath_the_rabbit_hole.ogg", 5.0)],
    "holdout": [(XM + "foxrun.ogg", 20.0), (XM + "ridealong.ogg", 10.0), (LC + "01 - pronobozo - lincity.ogg", 30.0),
                (XM + "batcave.ogg", 60.0), (LC + "02 - Robert van Herk - City Blues.ogg", 90.0),
                (XM + "legolodio.ogg", 40.0), (FB + "frozen-mainzik-1p.ogg", 10.0),
                (FB + "frozen-mainzik-2p.ogg", 10.0), (FB + "introzik.ogg", 2.0),
                (XM + "foxrun.ogg", 66.0)],
}

# Campaigns: (kind, opening, bodies, tags). A list gives one entry per version; a string is
# shared by all. "voice" campaigns speak the same words in another voice per version (versions:
# the number of voices given by `voices`).
CAMPAIGNS = {
    "dev": [
        ("tag", "This weekend only, at Bright Home Stores.",
         "Every lamp, rug and mirror is twenty percent off, and delivery is free on orders over fifty pounds.",
         ["Find us at Riverside Mall, next to the cinema.", "Find us on King Street, opposite the station.",
          "Find us at the Hilltop retail park, by the roundabout."]),
        ("middle", "Good news for drivers from Quick Fit.",
         ["Four new winter tyres, fitted and balanced, for just one hundred and ninety nine pounds.",
          "A full brake check and new pads, fitted while you wait, for just seventy nine pounds."],
         "Quick Fit. Book online today."),
        ("voice", "Sunny Dairy milk, fresh from the farm.",
         "Rich, creamy and full of goodness, in every shop across the county. Pour a glass of sunshine.",
         "Sunny Dairy. Taste the morning."),
        ("cutdown", "Learn to swim this summer at the City Pool.",
         "Classes for children and adults, seven days a week, with friendly teachers and a warm pool. "
         "The first lesson is free when you bring a friend.",
         ["Call the City Pool on five five five, two four six eight.",
          "Sign up today at city pool dot com."]),
        ("tag", "Fresh flowers for every day, from Petal and Stem.",
         "Roses, tulips and lilies, tied by hand and delivered the same day to anyone you love.",
         ["Order before noon on Friday for the weekend.", "Order before Sunday for Mothers Day."]),
        ("middle", "At Green Leaf Garden Centre this month,",
         ["all fruit trees and berry bushes are half price, with free compost for every tree.",
          "every lawn mower and hedge trimmer is reduced, with a free service after a year.",
          "our cafe serves a two course lunch for just eight pounds, every day of the week."],
         "Green Leaf, on the Old Mill Road."),
        ("voice", "The Star Theatre presents a night of comedy.",
         "Five of the funniest acts in the country, live on stage, for one night only. Tickets are selling fast.",
         "The Star Theatre. Book now."),
        ("tag", "Winter coats and boots at Northwind Outdoor.",
         "Waterproof, warm and built to last, for walkers, climbers and anyone who loves the hills.",
         ["Sale ends this Saturday.", "Now open late on Thursdays, until nine.",
          "Also at our new shop in Westgate.", "Members save an extra ten percent."]),
        ("cutdown", "Get fit for the new year with Pulse Gym.",
         "No joining fee in January, over fifty classes every week, a pool, a sauna and personal trainers "
         "to help you reach your goals.",
         ["Pulse Gym, open twenty four hours.", "Pulse Gym, now in Eastfield too."]),
        ("tag", "Family pizza night at Luigi's.",
         "Two large pizzas, garlic bread and a bottle of lemonade, for just twenty pounds.",
         ["Every Tuesday and Wednesday.", "All through the school holidays."]),
    ],
    "holdout": [
        ("tag", "New glasses in an hour at Clear View Opticians.",
         "Frames from every designer, eye tests by qualified staff, and a second pair free for the whole family.",
         ["Clear View, in the Market Square.", "Clear View, now inside Parkway Shopping Centre.",
          "Clear View, open on Sundays from ten."]),
        ("middle", "Stay warm this winter with Home Heat.",
         ["A new boiler, fitted in a day, from just nine hundred pounds with a ten year warranty.",
          "Loft insulation for any house, fitted in a morning, from just three hundred pounds."],
         "Home Heat. Call us free today."),
        ("voice", "Golden Crust, the bakery on your corner.",
         "Crusty loaves, soft rolls and sweet pastries, baked fresh every morning before you wake up.",
         "Golden Crust. Bread worth getting up for."),
        ("cutdown", "Visit the Maritime Museum this half term.",
         "Climb aboard a real lifeboat, meet the divers, and see treasure from five hundred years of shipwrecks, "
         "with free entry for children under twelve.",
         ["The Maritime Museum, on the harbour front.", "Open every day from ten till five."]),
        ("tag", "Save on your weekly shop at Fresh Basket.",
         "Fruit and vegetables from local farms, and hundreds of prices cut across the store.",
         ["Offers end on Wednesday.", "Now with free parking for two hours.", "Also open on Bank Holiday Monday."]),
        ("middle", "This week at Tech Town,",
         ["every laptop comes with a free printer and a year of cover.",
          "trade in your old phone and save up to two hundred pounds on a new one."],
         "Tech Town. Prices you can trust."),
        ("voice", "Silver Screen Cinemas.",
         "The biggest films on the biggest screens, with reclining seats and hot food brought to your seat.",
         "Silver Screen. The movies, better."),
        ("tag", "Moving house? Let Swift Removals do the heavy lifting.",
         "Packing, storage and careful drivers, with fixed prices and no hidden fees.",
         ["Call Swift on five five five, eight one eight one.", "Get a free quote at swift removals dot com."]),
        ("cutdown", "The County Show is back.",
         "Prize cattle, vintage tractors, a dog show, a food hall and a funfair, all in one great day out "
         "for the whole family.",
         ["The County Show, Saturday the tenth.", "The County Show, tickets at the gate."]),
        ("tag", "Brighten your home with Rainbow Paints.",
         "Over a thousand colours, mixed while you wait, with brushes and rollers at half price.",
         ["Rainbow Paints, next to the bus station.", "Rainbow Paints, open till eight on Fridays."]),
    ],
}

LONG = (24.0, 30.0)  # length of a full version, seconds
CUTDOWN = 15.0
OPENING_AT, BODY_AT, TAIL = 0.5, 7.0, 0.7


class VersionClip(Clip):
    def __init__(self, name, path, campaign, differs):
        super().__init__(name, "advert", path)
        self.campaign = campaign
        self.differs = differs  # relative's name -> (begin, end): seconds of this clip that differ from it


def _speech(text, voice, tmp, key):
    out = os.path.join(tmp, f"{key}.voice.wav")
    speech.say(text, voice, out)
    return out


def _fit(path, seconds):
    from clips import _fit as fit
    return fit(path, seconds)


def _version(bed, length, segments, out, what):
    """A version: the bed (faded at its end) with voice segments (path, at seconds, fit seconds)."""
    layers = [Layer(bed, 0, -9.0, 0.0, 1.0)]
    for path, at, fit in segments:
        layers.append(Layer(_fit(path, fit), round(at * RATE), 0.0))
    mix(layers, out, round(length * RATE), what)


def build(set_name, work, rng, quick):
    """Makes the versions of every campaign of a set (the first four in the quick corpus) as WAV
    files in work/clips; returns them, campaign by campaign."""
    voices = speech.VOICES[set_name]
    tmp = os.path.join(work, "parts")
    campaigns = CAMPAIGNS[set_name][:4] if quick else CAMPAIGNS[set_name]
    out = []
    for c, (kind, opening, bodies, tags) in enumerate(campaigns):
        bed_src, offset = BEDS[set_name][c]
        if not os.path.exists(bed_src):
            raise CorpusError(f"{bed_src}: missing (the {set_name} versions need: {' '.join(PACKAGES[set_name])})")
        length = round(rng.uniform(*LONG), 2)
        tag_len = round(rng.uniform(4.0, 6.0), 2)
        bed = decode(bed_src, os.path.join(tmp, f"campaign{c}.bed.wav"), offset, length, f"{set_name} campaign {c} bed")
        voice = voices[c % len(voices)]
        base = f"campaign{c + 1:02d}"
        tag_at = length - TAIL - tag_len
        body_fit = tag_at - 0.5 - BODY_AT
        versions = []
        if kind == "voice":
            for v in range(3 if c % 2 else 2):
                vv = voices[(c + v) % len(voices)]
                segs = [(_speech(opening, vv, tmp, f"c{c}o{v}"), OPENING_AT, 6.0),
                        (_speech(bodies, vv, tmp, f"c{c}b{v}"), BODY_AT, body_fit),
                        (_speech(tags, vv, tmp, f"c{c}t{v}"), tag_at, tag_len)]
                versions.append((f"{base}-{kind}{v + 1}", length, segs, {"*": (OPENING_AT, length - TAIL)}))
        elif kind == "tag" or kind == "middle":
            n = len(tags) if kind == "tag" else len(bodies)
            for v in range(n):
                body = bodies if kind == "tag" else bodies[v]
                tag = tags[v] if kind == "tag" else tags
                segs = [(_speech(opening, voice, tmp, f"c{c}o"), OPENING_AT, 6.0),
                        (_speech(body, voice, tmp, f"c{c}b{v if kind == 'middle' else 0}"), BODY_AT, body_fit),
                        (_speech(tag, voice, tmp, f"c{c}t{v if kind == 'tag' else 0}"), tag_at, tag_len)]
                differs = {"*": (tag_at, length - TAIL) if kind == "tag" else (BODY_AT, tag_at - 0.5)}
                versions.append((f"{base}-{kind}{v + 1}", length, segs, differs))
        else:  # cutdown: 30 s with two tags, and the 15 s cut-down of the first
            o = _speech(opening, voice, tmp, f"c{c}o")
            b = _speech(bodies, voice, tmp, f"c{c}b")
            for v, tag in enumerate(tags):
                segs = [(o, OPENING_AT, 6.0), (b, BODY_AT, body_fit), (_speech(tag, voice, tmp, f"c{c}t{v}"), tag_at, tag_len)]
                # from the other long one in the tag, from the cut-down after the opening
                differs = {f"{base}-long{2 - v}": (tag_at, length - TAIL), f"{base}-short": (BODY_AT - 0.5, length - TAIL)}
                versions.append((f"{base}-long{v + 1}", length, segs, differs))
            short_tag_at = CUTDOWN - TAIL - tag_len
            segs = [(o, OPENING_AT, 6.0), (_speech(tags[0], voice, tmp, f"c{c}t0"), short_tag_at, tag_len)]
            versions.append((f"{base}-short", CUTDOWN, segs, {"*": (BODY_AT - 0.5, CUTDOWN - TAIL)}))
        group = []
        names = [v[0] for v in versions]
        for name, ln, segs, differs in versions:
            differs = {other: differs.get(other, differs.get("*")) for other in names if other != name}
            path = os.path.join(work, "clips", name + ".wav")
            b = bed
            if ln < length:  # the cut-down runs on the bed's first seconds, faded out
                b = os.path.join(tmp, f"campaign{c}.bed{ln:.0f}.wav")
                decode(bed_src, b, offset, ln, f"{set_name} campaign {c} short bed", fade_out=1.0)
            _version(b, ln, segs, path, name)
            group.append(VersionClip(name, path, base, {k: [round(d[0], 2), round(d[1], 2)] for k, d in differs.items()}))
        out.append(group)
    return out


def plan(campaigns, quick, rng):
    """The programmes of the versioned set: (processing, [(clip, seen)]). Every version aired
    once clean and once through the station chain; one version of each campaign through further
    chains; one of each cut short after 50-95 % (clean and station chain)."""
    every = [v for group in campaigns for v in group]
    if quick:
        items = [(v, 1.0) for v in every]
        rng.shuffle(items)
        cut = [(group[rng.randrange(len(group))], round(rng.uniform(0.5, 0.95), 3)) for group in campaigns]
        return [("clean", items), ("broadband", cut)]
    out = []
    for processing in ("clean", "broadcast"):
        items = [(v, 1.0) for v in every]
        rng.shuffle(items)
        out.append((processing, items))
    for processing in ("multiband", "tempo+2", "mp3-64"):
        items = [(group[rng.randrange(len(group))], 1.0) for group in campaigns]
        rng.shuffle(items)
        out.append((processing, items))
    for processing in ("clean", "broadcast"):
        items = [(group[rng.randrange(len(group))], round(rng.uniform(0.5, 0.95), 3)) for group in campaigns]
        rng.shuffle(items)
        out.append((processing, items))
    return out
