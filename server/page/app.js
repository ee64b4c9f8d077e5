// The dashboard page: a board of stations and a feed of airings kept live by the server's
// event stream (/api/live), search, a timeline per station and day, and a page per spot.
// Every value from the store is put into the page as text (textContent), never as markup.
"use strict";

const $ = (id) => document.getElementById(id);
const SVG = "http://www.w3.org/2000/svg";

// An element with attributes and children; strings become text nodes.
function el(tag, attrs, ...children) {
  const e = document.createElement(tag);
  for (const [k, v] of Object.entries(attrs || {})) {
    if (k === "class") e.className = v;
    else if (k.startsWith("on")) e.addEventListener(k.slice(2), v);
    else e.setAttribute(k, v);
  }
  for (const c of children) if (c !== null && c !== undefined) e.append(c instanceof Node ? c : String(c));
  return e;
}
function svg(tag, attrs) {
  const e = document.createElementNS(SVG, tag);
  for (const [k, v] of Object.entries(attrs || {})) e.setAttribute(k, v);
  return e;
}

function showStore(ok, message) {
  const b = $("store-status");
  b.hidden = ok;
  b.textContent = ok ? "" : message || "The store is not available.";
}

// GET /api/PATH with parameters; throws after showing what went wrong.
async function api(path, params) {
  const q = new URLSearchParams();
  for (const [k, v] of Object.entries(params || {})) if (v !== "" && v !== null && v !== undefined) q.append(k, v);
  const url = "api/" + path + (q.toString() ? "?" + q : "");
  let r;
  try {
    r = await fetch(url, { credentials: "same-origin" });
  } catch (e) {
    showStore(false, "The server does not answer.");
    throw e;
  }
  if (r.status === 401) { location.reload(); throw new Error("login needed"); }
  const body = await r.json().catch(() => ({ error: "not JSON" }));
  if (r.status === 503) { showStore(false, body.error || "The store is not available."); throw new Error(body.error); }
  if (!r.ok) throw new Error(body.error || r.statusText);
  showStore(true);
  return body;
}

const fmtTime = (iso) => (iso ? iso.replace("T", " ").replace(/\.\d+Z$/, "").replace("Z", "") : "(no UTC time)");
const spotName = (d) => d.spot || d.title || d.pattern;
const dayOf = (iso) => (iso ? iso.slice(0, 10) : "");
function nextDay(day) {
  const t = new Date(day + "T00:00:00Z");
  t.setUTCDate(t.getUTCDate() + 1);
  return t.toISOString().slice(0, 10);
}
const today = () => new Date().toISOString().slice(0, 10);

function play(d) {
  const p = $("player");
  if (!d.evidence_url) {
    $("player-caption").textContent = spotName(d) + " on " + d.station + ": no evidence audio stored";
    return;
  }
  p.src = d.evidence_url.replace(/^\//, "");
  $("player-caption").textContent = spotName(d) + " on " + d.station + " at " + fmtTime(d.begin_utc);
  p.play().catch(() => {});
}

function airingItem(d, isNew) {
  return el("li", { class: isNew ? "new" : "", "data-id": d.id },
    el("span", { class: "time" }, fmtTime(d.begin_utc)),
    el("a", { class: "station-name", href: "#/timeline/" + encodeURIComponent(d.station) + "/" + (dayOf(d.begin_utc) || today()) }, d.station),
    el("a", { class: "spot", href: "#/spot/" + encodeURIComponent(d.pattern_hash) }, spotName(d)),
    d.advertiser ? el("span", { class: "muted" }, d.advertiser) : null,
    el("span", { class: "muted" }, Math.round(d.seen * 100) + "% seen"),
    d.evidence_url ? el("button", { class: "play", type: "button", onclick: () => play(d) }, "\u25B6 play") : null);
}

// ---- board and feed

const stations = new Map();  // label -> {data, card}

function renderStation(label) {
  const s = stations.get(label);
  const d = s.data;
  const health = d.health || "unknown";
  const words = { up: "up", dead_air: "dead air", behind: "behind", down: "down", unknown: "no news" };
  const card = el("div", { class: "station health-" + health, "data-label": label, "data-health": health },
    el("a", { class: "label", href: "#/timeline/" + encodeURIComponent(label) + "/" + today() }, label),
    el("div", { class: "health" }, words[health] || health),
    el("div", { class: "last" }, d.last_detection
      ? "Last: " + spotName(d.last_detection) + " at " + fmtTime(d.last_detection.begin_utc)
      : "No detection yet"));
  if (s.card) s.card.replaceWith(card);
  else {
    const board = $("board");
    const after = [...board.children].find((c) => c.dataset.label > label);
    board.insertBefore(card, after || null);
  }
  s.card = card;
}

function upsertStation(label, patch) {
  if (!stations.has(label)) stations.set(label, { data: { label, health: "unknown" }, card: null });
  Object.assign(stations.get(label).data, patch);
  renderStation(label);
}

async function loadBoard() {
  const { stations: list } = await api("stations");
  for (const s of list) upsertStation(s.label, s);
  fillSelect($("f-station"), list.map((s) => [s.label, s.label]), true);
  fillSelect($("t-station"), list.map((s) => [s.label, s.label]), false);
  const { detections } = await api("detections", { limit: 30 });
  const feed = $("feed");
  feed.replaceChildren(...detections.map((d) => airingItem(d, false)));
}

function fillSelect(select, options, keepFirst) {
  const current = select.value;
  const first = keepFirst ? [select.options[0]] : [];
  select.replaceChildren(...first, ...options.map(([value, text]) => el("option", { value }, text)));
  if ([...select.options].some((o) => o.value === current)) select.value = current;
}

function onDetection(d) {
  const feed = $("feed");
  if (!feed.querySelector('[data-id="' + d.id + '"]')) {
    feed.prepend(airingItem(d, true));
    while (feed.children.length > 100) feed.lastChild.remove();
  }
  upsertStation(d.station, { last_detection: d });
  if (timelineShown && timelineShown.station === d.station && dayOf(d.begin_utc) === timelineShown.day) {
    timelineShown.rows.push(d);
    drawTimeline();
  }
}

function connectLive() {
  const source = new EventSource("api/live");
  const state = $("live-state");
  source.onopen = () => { state.className = "live-on"; };
  source.onerror = () => { state.className = "live-off"; };
  source.addEventListener("detection", (e) => onDetection(JSON.parse(e.data)));
  source.addEventListener("station", (e) => {
    const ev = JSON.parse(e.data);
    if (!ev.station) return;
    const patch = { last_event: ev };
    if (ev.health) patch.health = ev.health;
    upsertStation(ev.station, patch);
  });
  source.addEventListener("store", (e) => {
    const s = JSON.parse(e.data);
    showStore(s.ok, s.error);
  });
  source.addEventListener("reset", () => loadBoard().catch(() => {}));
}

// ---- search

let searchParams = null, searchNext = null;

async function runSearch(more) {
  const params = Object.assign({}, searchParams, { limit: 100 });
  if (more && searchNext) Object.assign(params, searchNext);
  if (params.to) params.to = nextDay(params.to);
  let page;
  try {
    page = await api("detections", params);
  } catch (e) {
    $("search-summary").textContent = "Search failed: " + e.message;
    return;
  }
  const rows = page.detections.map((d) =>
    el("tr", { "data-id": d.id },
      el("td", {}, fmtTime(d.begin_utc)), el("td", {}, d.station),
      el("td", {}, el("a", { class: "spot", href: "#/spot/" + encodeURIComponent(d.pattern_hash) }, spotName(d))),
      el("td", {}, d.advertiser), el("td", {}, Math.round(d.seen * 100) + "%"),
      el("td", {}, d.evidence_url ? el("button", { class: "play", type: "button", onclick: () => play(d) }, "\u25B6") : "")));
  if (more) $("results").append(...rows);
  else $("results").replaceChildren(...rows);
  searchNext = page.next;
  $("more").hidden = !page.next;
  $("search-summary").textContent = $("results").children.length + " airings" + (page.next ? " (more below)" : "");
}

$("search-form").addEventListener("submit", (e) => {
  e.preventDefault();
  searchParams = Object.fromEntries(new FormData(e.target).entries());
  runSearch(false);
});
$("more").addEventListener("click", () => runSearch(true));

// ---- timeline of a station's day

let timelineShown = null;  // {station, day, rows}

async function showTimeline(station, day) {
  $("t-station").value = station;
  $("t-day").value = day;
  const rows = [];
  let next = {};
  for (let i = 0; i < 50 && next; ++i) {
    const page = await api("detections", Object.assign({ station, from: day, to: nextDay(day), limit: 1000 }, next));
    rows.push(...page.detections);
    next = page.next;
  }
  timelineShown = { station, day, rows };
  drawTimeline();
}

function drawTimeline() {
  const { day, rows } = timelineShown;
  const W = 1000, H = 70, dayStart = Date.parse(day + "T00:00:00Z");
  const g = svg("svg", { viewBox: `0 0 ${W} ${H}`, role: "img" });
  g.append(svg("rect", { x: 0, y: 10, width: W, height: 36, fill: "#eef1f5" }));
  for (let h = 0; h <= 24; h += 3) {
    const x = (h / 24) * W;
    g.append(svg("line", { x1: x, x2: x, y1: 8, y2: 50, stroke: "#bbc" }));
    const t = svg("text", { x: Math.min(x + 2, W - 30), y: 64, "font-size": 12, fill: "#667" });
    t.textContent = String(h).padStart(2, "0") + ":00";
    g.append(t);
  }
  for (const d of rows) {
    if (!d.begin_utc) continue;
    const b = (Date.parse(d.begin_utc) - dayStart) / 864e5, e = (Date.parse(d.end_utc || d.begin_utc) - dayStart) / 864e5;
    const r = svg("rect", { class: "airing", x: b * W, y: 12, width: Math.max(2, (e - b) * W), height: 32, "data-id": d.id });
    const title = svg("title");
    title.textContent = fmtTime(d.begin_utc) + " " + spotName(d);
    r.append(title);
    r.addEventListener("click", () => play(d));
    g.append(r);
  }
  $("timeline").replaceChildren(g);
  const sorted = [...rows].sort((a, b) => (a.begin_utc < b.begin_utc ? 1 : -1));
  $("timeline-list").replaceChildren(...sorted.map((d) => airingItem(d, false)));
}

$("timeline-form").addEventListener("submit", (e) => {
  e.preventDefault();
  location.hash = "#/timeline/" + encodeURIComponent($("t-station").value) + "/" + ($("t-day").value || today());
});

// ---- spots

let patterns = [];

async function loadPatterns() {
  patterns = (await api("patterns")).patterns;
  fillSelect($("f-pattern"), patterns.map((p) => [p.hash, p.spot ? p.spot + " (" + p.name + ")" : p.name]), true);
  $("spots").replaceChildren(...patterns.map((p) =>
    el("tr", {},
      el("td", {}, el("a", { class: "spot", href: "#/spot/" + encodeURIComponent(p.hash) }, p.spot || "\u2014")),
      el("td", {}, p.name), el("td", {}, p.advertiser), el("td", {}, p.campaign))));
}

async function showSpot(hash) {
  const p = patterns.find((x) => x.hash === hash) || { name: hash };
  $("spot-title").textContent = p.spot ? p.spot + " \u2014 " + p.name : p.name;
  const [{ counts }, { detections }] = await Promise.all([
    api("counts", { pattern: hash }), api("detections", { pattern: hash, limit: 1000 })]);
  const facts = [["Advertiser", p.advertiser], ["Campaign", p.campaign], ["Version", p.version], ["Title", p.title],
    ["Airings", counts.reduce((n, c) => n + c.count, 0)],
    ["First", detections.length ? fmtTime(detections[detections.length - 1].begin_utc) : "\u2014"],
    ["Last", detections.length ? fmtTime(detections[0].begin_utc) : "\u2014"]];
  $("spot-facts").replaceChildren(...facts.filter(([, v]) => v !== "" && v !== undefined)
    .flatMap(([k, v]) => [el("dt", {}, k), el("dd", {}, v)]));
  // Airings per day, bars drawn in SVG.
  const W = 1000, H = 160, max = Math.max(1, ...counts.map((c) => c.count));
  const chart = svg("svg", { viewBox: `0 0 ${W} ${H + 20}`, role: "img" });
  const bw = W / Math.max(1, counts.length);
  counts.forEach((c, i) => {
    const h = (c.count / max) * H;
    const r = svg("rect", { x: i * bw + 1, y: H - h, width: Math.max(1, bw - 2), height: h });
    const t = svg("title");
    t.textContent = c.day + ": " + c.count;
    r.append(t);
    chart.append(r);
  });
  if (counts.length) {
    for (const [i, anchor] of [[0, "start"], [counts.length - 1, "end"]]) {
      const t = svg("text", { x: i === 0 ? 0 : W, y: H + 16, "font-size": 12, "text-anchor": anchor, fill: "#667" });
      t.textContent = counts[i].day;
      chart.append(t);
    }
  }
  $("spot-chart").replaceChildren(chart);
  const per = new Map();
  for (const d of detections) {
    const s = per.get(d.station) || { n: 0, first: d.begin_utc, last: d.begin_utc };
    s.n += 1;
    if (d.begin_utc && (!s.first || d.begin_utc < s.first)) s.first = d.begin_utc;
    if (d.begin_utc && (!s.last || d.begin_utc > s.last)) s.last = d.begin_utc;
    per.set(d.station, s);
  }
  $("spot-stations").replaceChildren(...[...per].map(([station, s]) =>
    el("tr", {}, el("td", {}, station), el("td", {}, s.n), el("td", {}, fmtTime(s.first)), el("td", {}, fmtTime(s.last)))));
  $("spot-airings").replaceChildren(...detections.slice(0, 200).map((d) => airingItem(d, false)));
}

// ---- reconciliation of a schedule

$("reconcile-form").addEventListener("submit", async (e) => {
  e.preventDefault();
  const file = $("r-file").files[0];
  if (!file) { $("reconcile-summary").textContent = "Choose a schedule file first."; return; }
  $("reconcile-summary").textContent = "Reconciling " + file.name + "\u2026";
  let r, body;
  try {
    r = await fetch("api/reconcile", { method: "POST", body: await file.text(), headers: { "Content-Type": "text/csv" }, credentials: "same-origin" });
    body = await r.json();
  } catch (err) {
    $("reconcile-summary").textContent = "The server does not answer.";
    return;
  }
  if (r.status === 503) showStore(false, body.error);
  if (!r.ok) { $("reconcile-summary").textContent = "Not reconciled: " + (body.error || r.statusText); return; }
  const bad = body.rows.filter((x) => x.status !== "aired").length;
  $("reconcile-summary").textContent = file.name + ": " + body.rows.length + " rows, " + bad + " discrepancies, from " +
    fmtTime(body.from) + " to " + fmtTime(body.to);
  $("reconcile-problems").replaceChildren(...body.problems.map((p) =>
    el("li", {}, (p.line ? "line " + p.line + ": " : "") + p.message)));
  $("reconcile-stations").replaceChildren(...body.stations.map((s) =>
    el("tr", {}, el("td", {}, s.station), el("td", {}, s.bookings), el("td", {}, s.aired), el("td", {}, s.aired_outside_window),
      el("td", {}, s.not_aired), el("td", {}, s.wrong_version), el("td", {}, s.truncated), el("td", {}, s.unbooked),
      el("td", {}, (s.error_rate * 100).toFixed(1) + " %"))));
  $("reconcile-rows").replaceChildren(...body.rows.map((x) => {
    const cls = x.status === "aired" ? "" : x.note === "station_down" ? "unverified" : "discrepancy";
    const d = { evidence_url: x.evidence_url, station: x.station, pattern: x.detected_spot, begin_utc: x.aired_start };
    return el("tr", { class: cls, "data-status": x.status },
      el("td", {}, x.station), el("td", {}, x.spot + (x.detected_spot && x.detected_spot !== x.spot ? " (aired: " + x.detected_spot + ")" : "")),
      el("td", {}, x.window_start ? fmtTime(x.window_start) + " \u2013 " + fmtTime(x.window_end).slice(11) : "not booked"),
      el("td", { class: "status" }, x.status.replace(/_/g, " ") + (x.offset_s !== null ? " (" + Math.round(x.offset_s) + " s)" : "") +
        (x.note ? " \u2014 " + x.note.replace(/_/g, " ") : "")),
      el("td", {}, x.aired_start ? fmtTime(x.aired_start) : ""),
      el("td", {}, x.seen !== null ? Math.round(x.seen * 100) + "%" : ""),
      el("td", {}, x.evidence_url ? el("button", { class: "play", type: "button", onclick: () => play(d) }, "\u25B6") : ""));
  }));
});

// ---- views

async function route() {
  const parts = location.hash.replace(/^#\/?/, "").split("/").map(decodeURIComponent);
  const view = parts[0] || "board";
  for (const v of document.querySelectorAll(".view")) v.hidden = true;
  const show = (id) => { $("view-" + id).hidden = false; };
  try {
    if (view === "search") show("search");
    else if (view === "timeline") {
      show("timeline");
      const station = parts[1] || $("t-station").value;
      if (station) await showTimeline(station, parts[2] || today());
    } else if (view === "spots") show("spots");
    else if (view === "reconcile") show("reconcile");
    else if (view === "spot") { show("spot"); await showSpot(parts[1] || ""); }
    else show("board");
  } catch (e) { /* the banner or the summary says what went wrong */ }
}

window.addEventListener("hashchange", route);
(async () => {
  connectLive();
  try { await Promise.all([loadBoard(), loadPatterns()]); } catch (e) { /* shown in the banner */ }
  route();
  document.body.dataset.ready = "1";
})();
