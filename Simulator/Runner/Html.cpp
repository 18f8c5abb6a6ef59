#include "Html.h"

#include <cstdlib>

#include <SetupConfig.h>

#include "Output.h"

namespace sim {

namespace {

constexpr const char *kLaneNames[] = {"Steps", "Services", "FCH MMIO", "SMN", "PCI",
                                      "Super I/O", "KBC", "CMOS", "SMBus", "Other"};

uint64_t NumberOf(const Json &Event, const char *Key) {
  auto It = Event.find(Key);
  if (It == Event.end() || !It->is_string()) return UINT64_MAX;
  return std::strtoull(It->get_ref<const std::string &>().c_str(), nullptr, 16);
}

TimelineLane LaneOfPort(uint64_t Port) {
  if (Port >= 0xCF8 && Port <= 0xCFF) return TimelineLane::Pci;
  if (Port == 0x2E || Port == 0x2F || Port == 0x4E || Port == 0x4F) return TimelineLane::SuperIo;
  if (Port == 0x60 || Port == 0x64) return TimelineLane::Kbc;
  if (Port >= 0x70 && Port <= 0x73) return TimelineLane::Cmos;
  if (Port >= 0xB00 && Port <= 0xB27) return TimelineLane::Smbus;
  return TimelineLane::Other;
}

TimelineLane LaneOfMmio(uint64_t Address) {
  if (Address == 0xE00000B8 || Address == 0xE00000BC) return TimelineLane::Smn;
  if (Address >= 0xFED80000 && Address <= 0xFED81FFF) return TimelineLane::FchMmio;
  return TimelineLane::Other;
}

bool StartsWith(const std::string &S, const char *Prefix) { return S.rfind(Prefix, 0) == 0; }

std::string HtmlEscape(const std::string &Text) {
  std::string Out;
  for (char C : Text) {
    switch (C) {
      case '<': Out += "&lt;"; break;
      case '>': Out += "&gt;"; break;
      case '&': Out += "&amp;"; break;
      case '"': Out += "&quot;"; break;
      default: Out += C;
    }
  }
  return Out;
}

// Offsets that differ between the two images and that no named field covers,
// so that a change the field table cannot show is still reported.
Json UnnamedChanges(const std::vector<uint8_t> &Before, const std::vector<uint8_t> &After) {
  std::vector<bool> Named(std::max(Before.size(), After.size()), false);
  for (const SETUP_FIELD_INFO &F : kSetupFields) {
    for (UINT32 I = F.Offset; I < F.Offset + F.Size && I < Named.size(); ++I) Named[I] = true;
  }
  Json Out = Json::array();
  for (size_t I = 0; I < Named.size(); ++I) {
    const bool Differs = I >= Before.size() || I >= After.size() || Before[I] != After[I];
    if (Differs && !Named[I]) Out.push_back(Hex(I));
  }
  return Out;
}

extern const char kStyle[];
extern const char kBody[];
extern const char kScript[];

}  // namespace

TimelineLane LaneOf(const Json &Event) {
  const std::string Name = Event.value("event", "");
  if (Name == "step") return TimelineLane::Steps;
  if (Name == "call" || Name == "smi" || Name == "smi-return" || Name == "syscall") return TimelineLane::Services;
  if (Name == "io-read" || Name == "io-write") return LaneOfPort(NumberOf(Event, "port"));
  if (Name == "mmio-read" || Name == "mmio-write") return LaneOfMmio(NumberOf(Event, "address"));
  if (StartsWith(Name, "smn-")) return TimelineLane::Smn;
  if (StartsWith(Name, "pci-")) return TimelineLane::Pci;
  if (StartsWith(Name, "sio-")) return TimelineLane::SuperIo;
  if (StartsWith(Name, "kbc-")) return TimelineLane::Kbc;
  if (StartsWith(Name, "cmos-")) return TimelineLane::Cmos;
  if (Name == "smbus") return TimelineLane::Smbus;
  return TimelineLane::Other;
}

std::string ScriptSafeJson(const Json &Value) {
  // '<' only ever occurs inside a JSON string, where \u003C means the same.
  const std::string Text = Value.dump(-1, ' ', false, Json::error_handler_t::replace);
  std::string Out;
  Out.reserve(Text.size());
  for (char C : Text) {
    if (C == '<') {
      Out += "\\u003C";
    } else {
      Out += C;
    }
  }
  return Out;
}

HtmlTimeline::HtmlTimeline(std::string Title, std::optional<SetupConfigSpec> InitialSetup)
    : Title_(std::move(Title)),
      InitialSetup_(std::move(InitialSetup)),
      Text_(InitialSetup_ ? std::optional<std::vector<uint8_t>>(InitialSetup_->Data) : std::nullopt) {}

void HtmlTimeline::Add(const Json &Event) {
  const char *Comma = Events_.empty() ? "" : ",";
  Events_ += Comma + ScriptSafeJson(Event);
  std::string Text = Text_.Format(Event);
  while (!Text.empty() && Text.back() == '\n') Text.pop_back();
  Texts_ += Comma + ScriptSafeJson(Text);
  Lanes_ += Comma + std::to_string(static_cast<int>(LaneOf(Event)));
  Titles_ += Comma + ScriptSafeJson(Event.value("event", "") == "step" ? StepTitle(Event.value("step", "")) : "");
  if (Event.value("event", "") == "final") {
    SawFinal_ = true;
    FinalSetup_ = Event.value("setup", Json(nullptr));
    FinalAttributes_ = Event.value("setup_attributes", Json(nullptr));
  }
}

void HtmlTimeline::Write(std::ostream &Out) const {
  std::optional<std::vector<uint8_t>> Before, After;
  if (InitialSetup_) Before = InitialSetup_->Data;
  if (FinalSetup_.is_string()) After = BytesOfHex(FinalSetup_.get<std::string>());

  Json Setup;
  Setup["before"] = Before ? SetupFields(*Before) : Json(nullptr);
  Setup["after"] = After ? SetupFields(*After) : Json(nullptr);
  Setup["attributes"] = {InitialSetup_ ? Json(Hex(InitialSetup_->Attributes)) : Json(nullptr), FinalAttributes_};
  Setup["sizes"] = {Before ? Json(Before->size()) : Json(nullptr), After ? Json(After->size()) : Json(nullptr)};
  Setup["unnamed_changes"] = Before && After ? UnnamedChanges(*Before, *After) : Json::array();
  // Without a final event the run's end state is unknown, not absent.
  Setup["ended"] = SawFinal_;
  Json Lanes = Json::array();
  for (const char *Name : kLaneNames) Lanes.push_back(Name);

  const std::string Title = HtmlEscape(Title_);
  Out << "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
      << "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
      << "<title>" << Title << " - boardsim timeline</title>\n<style>" << kStyle << "</style>\n</head>\n<body>\n"
      << "<div id=\"timeline-root\" data-event-count=\"0\" data-drawn-count=\"0\">\n"
      << "<header><h1>boardsim timeline: " << Title << "</h1>" << kBody << "</div>\n"
      << "<script type=\"application/json\" id=\"timeline-events\">[" << Events_ << "]</script>\n"
      << "<script type=\"application/json\" id=\"timeline-meta\">{\"lanes\":" << ScriptSafeJson(Lanes)
      << ",\"setup\":" << ScriptSafeJson(Setup) << ",\"lane\":[" << Lanes_ << "],\"text\":[" << Texts_
      << "],\"title\":[" << Titles_ << "]}</script>\n<script>" << kScript << "</script>\n</body>\n</html>\n";
}

namespace {

const char kStyle[] = R"CSS(
:root { font: 13px/1.4 system-ui, "DejaVu Sans", sans-serif; color: #222; }
body { margin: 0; background: #f4f5f7; }
header { display: flex; align-items: center; gap: 16px; flex-wrap: wrap; padding: 8px 12px;
         background: #fff; border-bottom: 1px solid #d8dbe0; }
h1 { font-size: 16px; margin: 0; }
#summary { color: #555; }
.controls { margin-left: auto; display: flex; gap: 6px; align-items: center; }
button { font: inherit; padding: 1px 10px; }
#plot { position: relative; margin: 8px 12px 4px; background: #fff; border: 1px solid #d8dbe0; }
#canvas { display: block; width: 100%; cursor: grab; }
#tooltip { position: absolute; z-index: 2; pointer-events: none; max-width: 70%; overflow: hidden;
           text-overflow: ellipsis; white-space: pre; padding: 3px 6px; border-radius: 3px;
           background: #222; color: #fff; font: 12px "DejaVu Sans Mono", monospace; }
#legend { display: flex; flex-wrap: wrap; gap: 14px; margin: 0 12px; color: #444; }
#legend i { display: inline-block; width: 10px; height: 10px; margin-right: 4px; vertical-align: -1px; }
.panels { display: grid; grid-template-columns: minmax(0, 1fr) minmax(0, 1fr); gap: 12px; margin: 12px; }
.panel { background: #fff; border: 1px solid #d8dbe0; padding: 8px 12px; min-width: 0; }
.panel h2 { font-size: 14px; margin: 0 0 6px; }
.hint { color: #777; }
pre { font: 12px/1.35 "DejaVu Sans Mono", monospace; margin: 6px 0; white-space: pre-wrap; word-break: break-all; }
pre.json { max-height: 420px; overflow: auto; background: #f6f7f9; padding: 6px; }
.setup-scroll { max-height: 480px; overflow: auto; }
#setup-table { border-collapse: collapse; width: 100%; font: 12px "DejaVu Sans Mono", monospace; }
#setup-table th, #setup-table td { padding: 1px 6px; border-bottom: 1px solid #eee; text-align: left; vertical-align: top; }
#setup-table tr.changed { background: #fff1bf; }
#setup-table tr.changed td:first-child { font-weight: bold; }
#setup-table mark { background: #ffc13b; }
#setup-table.only-changed tbody tr:not(.changed) { display: none; }
@media (max-width: 900px) { .panels { grid-template-columns: 1fr; } }
)CSS";

// Follows the <h1> inside <header>; the root element stays open for Write.
const char kBody[] = R"HTML(<span id="summary"></span>
<div class="controls">
  <label><input type="checkbox" id="compress" checked> shorten idle time</label>
  <button id="zoom-out" title="Zoom out">&minus;</button><button id="zoom-in" title="Zoom in">+</button>
  <button id="fit" title="Show the whole run">Fit</button>
</div></header>
<div id="plot"><canvas id="canvas"></canvas><div id="tooltip" hidden></div></div>
<div id="legend"></div>
<div class="panels">
  <section id="event-detail" class="panel" aria-live="polite"><h2>Event</h2>
    <p class="hint">Click an event (wheel zooms, drag pans, arrow keys step through events).</p></section>
  <section id="setup" class="panel"><h2>Setup</h2><p id="setup-summary"></p>
    <label><input type="checkbox" id="changed-only"> changed fields only</label>
    <div class="setup-scroll"><table id="setup-table"><thead><tr><th>field</th><th>before</th><th>after</th></tr></thead>
    <tbody></tbody></table></div></section>
</div>
)HTML";

const char kScript[] = R"JS(
'use strict';
(() => {
  const $ = (id) => document.getElementById(id);
  const events = JSON.parse($('timeline-events').textContent);
  const meta = JSON.parse($('timeline-meta').textContent);
  const root = $('timeline-root'), plot = $('plot'), canvas = $('canvas'), tip = $('tooltip');
  const detail = $('event-detail'), ctx = canvas.getContext('2d');
  const N = events.length, LANES = meta.lanes.length;
  const AXIS = 22, ROW = 24, LABEL_W = 92, MAX_W = 14;

  const KINDS = [['read', '#3b7dd8'], ['write', '#e8791d'], ['service call', '#2e9d5b'],
    ['SMI, syscall', '#8a4fc7'], ['KBC, SMBus, POST', '#159ca3'], ['step', '#333'],
    ['fault, warning', '#d62f2f'], ['other', '#9a9a9a']];
  function kindOf(name) {
    if (name === 'step') return 5;
    if (['fault', 'warning', 'smm-outside-access', 'unload'].includes(name)) return 6;
    if (name === 'call') return 2;
    if (['smi', 'smi-return', 'syscall'].includes(name)) return 3;
    if (name.endsWith('-read') || name === 'cpuid') return 0;
    if (name.endsWith('-write')) return 1;
    if (name.startsWith('kbc-') || name === 'smbus' || name === 'post-code') return 4;
    return 7;
  }
  const kind = Uint8Array.from(events, (e) => kindOf(String(e.event)));
  const lane = Uint8Array.from(meta.lane);
  const byLane = Array.from({length: LANES}, () => []);
  const steps = [];
  for (let i = 0; i < N; i++) {
    if (lane[i] < LANES) byLane[lane[i]].push(i);
    if (events[i].event === 'step') steps.push(i);
  }

  // x: each event's centre in axis units; events sharing a microsecond split
  // its slot in seq order. Shortened, a slot is as wide as its events and
  // idle time beyond a few microseconds grows only logarithmically.
  let x, slotW, slots, total;
  const shorten = (idle) => (idle <= 4 ? idle : 4 + 2 * Math.log2(idle - 3));
  function layOut(compress) {
    x = new Float64Array(N); slotW = new Float64Array(N); slots = [];
    let u = 0;
    for (let i = 0; i < N;) {
      const t = events[i].t_us;
      let j = i + 1;
      while (j < N && events[j].t_us === t) j++;
      const idle = slots.length ? Math.max(0, t - slots[slots.length - 1].t - 1) : 0;
      u += compress ? shorten(idle) : idle;
      const width = compress ? j - i : 1;
      slots.push({t, u, idle, cut: compress && idle > 4});
      for (let k = i; k < j; k++) { slotW[k] = width / (j - i); x[k] = u + (k - i + 0.5) * slotW[k]; }
      u += width;
      i = j;
    }
    total = Math.max(u, 1);
    let placed = 0;
    for (let i = 0; i < N; i++) if (lane[i] < LANES && Number.isFinite(x[i])) placed++;
    root.dataset.eventCount = placed;
  }

  let x0 = 0, scale = 1, selected = -1, hovered = -1;
  const plotW = () => canvas.clientWidth - LABEL_W;
  const toPx = (u) => LABEL_W + (u - x0) * scale;
  const PAD = 8;
  const fitScale = () => Math.max(1e-6, plotW() - 2 * PAD) / total;
  const glyphW = (i) => Math.min(MAX_W, Math.max(2, slotW[i] * scale * 0.8));
  function firstAtLeast(arr, n, key, v) {
    let lo = 0, hi = n;
    while (lo < hi) { const m = (lo + hi) >> 1; if (key(arr, m) < v) lo = m + 1; else hi = m; }
    return lo;
  }
  function fit() { scale = fitScale(); x0 = -PAD / scale; draw(); }
  function zoomAt(px, factor) {
    const u = x0 + (px - LABEL_W) / scale;
    scale = Math.min(400, Math.max(fitScale() / 2, scale * factor));
    x0 = u - (px - LABEL_W) / scale;
    draw();
  }

  function resize() {
    const dpr = window.devicePixelRatio || 1, h = AXIS + LANES * ROW;
    canvas.style.height = h + 'px';
    canvas.width = Math.round(plot.clientWidth * dpr);
    canvas.height = Math.round(h * dpr);
    ctx.setTransform(dpr, 0, 0, dpr, 0, 0);
  }

  function draw() {
    const W = canvas.clientWidth, H = AXIS + LANES * ROW;
    ctx.clearRect(0, 0, W, H);
    for (let l = 0; l < LANES; l++) {
      ctx.fillStyle = l % 2 ? '#f5f6f8' : '#fff';
      ctx.fillRect(0, AXIS + l * ROW, W, ROW);
    }
    ctx.save();
    ctx.beginPath(); ctx.rect(LABEL_W, 0, W - LABEL_W, H); ctx.clip();
    ctx.font = '11px "DejaVu Sans", sans-serif'; ctx.textBaseline = 'middle';
    drawSteps(W, H);
    drawAxis(W, H);
    drawEvents(W);
    ctx.restore();
    ctx.fillStyle = '#fff'; ctx.fillRect(0, 0, LABEL_W, AXIS);
    ctx.fillStyle = '#333'; ctx.font = '12px "DejaVu Sans", sans-serif'; ctx.textBaseline = 'middle';
    ctx.fillText('t_us', 6, AXIS / 2);
    meta.lanes.forEach((name, l) => ctx.fillText(name, 6, AXIS + l * ROW + ROW / 2));
    ctx.strokeStyle = '#c9cdd3'; ctx.beginPath();
    ctx.moveTo(LABEL_W + 0.5, 0); ctx.lineTo(LABEL_W + 0.5, H);
    ctx.moveTo(0, AXIS + 0.5); ctx.lineTo(W, AXIS + 0.5); ctx.stroke();
  }

  // A step event closes its step: the band runs from the previous one to it.
  function drawSteps(W, H) {
    let start = 0;
    steps.forEach((s, k) => {
      const end = x[s] + slotW[s] / 2, a = toPx(start), b = toPx(end);
      start = end;
      if (b < LABEL_W || a > W) return;
      ctx.fillStyle = k % 2 ? 'rgba(70,110,190,0.05)' : 'rgba(70,110,190,0.11)';
      ctx.fillRect(a, AXIS, b - a, H - AXIS);
      ctx.strokeStyle = '#8fa3c7'; ctx.beginPath(); ctx.moveTo(b, AXIS); ctx.lineTo(b, H); ctx.stroke();
      const e = events[s], failed = e.status !== null && e.status !== '0x0';
      ctx.save(); ctx.beginPath(); ctx.rect(a, AXIS, Math.max(0, b - a - MAX_W / 2), ROW); ctx.clip();
      ctx.fillStyle = failed ? '#b3261e' : '#223';
      ctx.fillText(`${k + 1} ${meta.title[s]}${failed ? ' status=' + e.status : ''}`, Math.max(a, LABEL_W) + 4, AXIS + ROW / 2);
      ctx.restore();
    });
  }

  function drawAxis(W, H) {
    ctx.fillStyle = '#fff'; ctx.fillRect(LABEL_W, 0, W - LABEL_W, AXIS);
    const first = Math.max(0, firstAtLeast(slots, slots.length, (a, m) => a[m].u, x0 - 1) - 1);
    let last = -Infinity;
    for (let s = first; s < slots.length; s++) {
      const px = toPx(slots[s].u);
      if (px > W + 60) break;
      if (slots[s].cut) {
        const gx = toPx(slots[s].u - shorten(slots[s].idle) / 2);
        ctx.strokeStyle = '#b9bec6'; ctx.setLineDash([3, 3]);
        ctx.beginPath(); ctx.moveTo(gx, AXIS); ctx.lineTo(gx, H); ctx.stroke(); ctx.setLineDash([]);
      }
      const label = String(slots[s].t);
      if (px - last < 64 || px + 2 + ctx.measureText(label).width > W) continue;
      last = px;
      ctx.strokeStyle = '#9aa0a8'; ctx.beginPath(); ctx.moveTo(px, AXIS - 5); ctx.lineTo(px, AXIS); ctx.stroke();
      ctx.fillStyle = '#444'; ctx.fillText(label, px + 2, AXIS / 2 - 1);
    }
  }

  function drawEvents(W) {
    const uEnd = x0 + (W - LABEL_W) / scale;
    let drawn = 0, style = '';
    const from = firstAtLeast(x, N, (a, m) => a[m], x0 - MAX_W / scale);
    for (let i = from; i < N && x[i] <= uEnd + MAX_W / scale; i++) {
      if (lane[i] >= LANES) continue;
      const w = glyphW(i), c = KINDS[kind[i]][1];
      if (c !== style) ctx.fillStyle = style = c;
      ctx.fillRect(toPx(x[i]) - w / 2, AXIS + lane[i] * ROW + 5, w, ROW - 10);
      drawn++;
    }
    root.dataset.drawnCount = drawn;
    for (const [i, colour] of [[hovered, '#777'], [selected, '#000']]) {
      if (i < 0) continue;
      const w = glyphW(i);
      ctx.strokeStyle = colour; ctx.lineWidth = 2;
      ctx.strokeRect(toPx(x[i]) - w / 2 - 2, AXIS + lane[i] * ROW + 3, w + 4, ROW - 6);
      ctx.lineWidth = 1;
    }
  }

  // The event whose glyph is nearest (px, py) in that lane, or -1.
  function hit(px, py) {
    const l = Math.floor((py - AXIS) / ROW);
    if (l < 0 || l >= LANES || px < LABEL_W) return -1;
    const u = x0 + (px - LABEL_W) / scale, list = byLane[l];
    const at = firstAtLeast(list, list.length, (a, m) => x[a[m]], u);
    let best = -1, bestPx = Infinity;
    for (const k of [at - 1, at]) {
      if (k < 0 || k >= list.length) continue;
      const d = Math.abs(x[list[k]] - u) * scale;
      if (d < bestPx) { bestPx = d; best = list[k]; }
    }
    return best >= 0 && bestPx <= Math.max(4, glyphW(best) / 2 + 2) ? best : -1;
  }

  function reveal(i) {
    const px = toPx(x[i]);
    if (px < LABEL_W + 10 || px > canvas.clientWidth - 10) { x0 = x[i] - plotW() / 2 / scale; draw(); }
  }

  function el(tag, text, cls) {
    const e = document.createElement(tag);
    if (text !== undefined) e.textContent = text;
    if (cls) e.className = cls;
    return e;
  }

  function select(i) {
    selected = i;
    if (i < 0) {
      detail.replaceChildren(el('h2', 'Event'), el('p', 'Click an event.', 'hint'));
      delete detail.dataset.seq;
    } else {
      const e = events[i];
      detail.replaceChildren(el('h2', `seq ${e.seq} \u00b7 ${e.event} \u00b7 ${meta.lanes[lane[i]]} lane`),
        el('pre', meta.text[i], 'text'), el('pre', JSON.stringify(e, null, 2), 'json'));
      detail.dataset.seq = e.seq;
      reveal(i);
    }
    draw();
  }

  function hover(i, cx, cy) {
    if (i !== hovered) { hovered = i; draw(); }
    canvas.style.cursor = i < 0 ? '' : 'pointer';
    tip.hidden = i < 0;
    if (i < 0) return;
    tip.textContent = meta.text[i];
    const r = plot.getBoundingClientRect();
    tip.style.left = Math.max(0, Math.min(cx - r.left + 12, plot.clientWidth - tip.offsetWidth - 4)) + 'px';
    tip.style.top = (cy - r.top + 14) + 'px';
  }

  const local = (ev) => { const r = canvas.getBoundingClientRect(); return [ev.clientX - r.left, ev.clientY - r.top]; };
  let drag = null, dragged = false;
  canvas.addEventListener('mousedown', (ev) => { drag = {cx: ev.clientX, x0}; dragged = false; });
  window.addEventListener('mousemove', (ev) => {
    if (drag) {
      const dx = ev.clientX - drag.cx;
      if (Math.abs(dx) > 3) dragged = true;
      if (dragged) { x0 = drag.x0 - dx / scale; hover(-1); draw(); return; }
    }
    if (ev.target === canvas) hover(hit(...local(ev)), ev.clientX, ev.clientY);
  });
  window.addEventListener('mouseup', () => { drag = null; });
  canvas.addEventListener('mouseleave', () => { if (!drag) hover(-1); });
  canvas.addEventListener('click', (ev) => { if (!dragged) select(hit(...local(ev))); });
  canvas.addEventListener('wheel', (ev) => {
    ev.preventDefault();
    const [px] = local(ev);
    if (Math.abs(ev.deltaX) > Math.abs(ev.deltaY)) { x0 += ev.deltaX / scale; draw(); return; }
    zoomAt(Math.max(px, LABEL_W), Math.exp(-ev.deltaY * 0.002));
  }, {passive: false});
  document.addEventListener('keydown', (ev) => {
    if (ev.key === 'ArrowRight' || ev.key === 'ArrowLeft') {
      ev.preventDefault();
      select(Math.max(0, Math.min(N - 1, selected + (ev.key === 'ArrowRight' ? 1 : -1))));
    } else if (ev.key === 'Escape') {
      select(-1);
    }
  });
  $('fit').onclick = fit;
  $('zoom-in').onclick = () => zoomAt(LABEL_W + plotW() / 2, 2);
  $('zoom-out').onclick = () => zoomAt(LABEL_W + plotW() / 2, 0.5);
  $('compress').onchange = (ev) => { layOut(ev.target.checked); fit(); };
  window.addEventListener('resize', () => { const f = scale <= fitScale() * 1.0001; resize(); if (f) fit(); else draw(); });

  function setupPanel() {
    const s = meta.setup, body = document.querySelector('#setup-table tbody');
    const before = s.before || {}, after = s.after || {};
    const names = [...new Set([...Object.keys(before), ...Object.keys(after)])];
    const bytes = (v) => (Array.isArray(v) ? v : [v]).map((b) => b.slice(2).padStart(2, '0'));
    let changed = 0;
    const row = (name, b, a) => {
      const tr = el('tr'), differs = s.ended && JSON.stringify(b) !== JSON.stringify(a);
      tr.append(el('td', name), el('td', b == null ? '\u2014' : Array.isArray(b) ? bytes(b).join(' ') : b));
      const cell = el('td');
      if (a == null) cell.textContent = '\u2014';
      else if (!Array.isArray(a)) cell.textContent = a;
      else bytes(a).forEach((t, k) => {
        if (k) cell.append(' ');
        cell.append(Array.isArray(b) && b[k] === a[k] ? t : el('mark', t));
      });
      tr.append(cell);
      if (differs) { tr.className = 'changed'; changed++; }
      body.append(tr);
    };
    row('(attributes)', s.attributes[0], s.ended ? s.attributes[1] : undefined);
    for (const n of names) row(n, before[n], s.ended ? after[n] : undefined);
    const notes = [`${changed} of ${names.length + 1} rows changed`];
    if (!s.before) notes.push('absent before the run');
    if (!s.ended) notes.push('the run has no final event: the end state is unknown');
    else if (!s.after) notes.push('absent after the run');
    if (s.sizes[0] !== null && s.sizes[1] !== null && s.sizes[0] !== s.sizes[1]) notes.push(`size ${s.sizes[0]} \u2192 ${s.sizes[1]} bytes`);
    if (s.unnamed_changes.length) notes.push(`bytes outside the named fields changed at ${s.unnamed_changes.join(', ')}`);
    $('setup-summary').textContent = notes.join('; ');
    $('changed-only').onchange = (ev) => $('setup-table').classList.toggle('only-changed', ev.target.checked);
  }

  const legend = $('legend');
  for (const [name, colour] of KINDS) {
    const item = el('span'), swatch = el('i');
    swatch.style.background = colour;
    item.append(swatch, name);
    legend.append(item);
  }
  $('summary').textContent =
    N ? `${N} events, t_us ${events[0].t_us}\u2013${events[N - 1].t_us}, ${steps.length} steps` : 'no events';
  setupPanel();
  layOut(true);
  resize();
  fit();
  select(-1);

  // For scripts driving the page: where event seq is drawn, in client
  // coordinates, after panning it into view.
  window.timeline = {
    locate(seq) {
      const i = events.findIndex((e) => e.seq === seq);
      if (i < 0) return null;
      reveal(i);
      const r = canvas.getBoundingClientRect();
      return {x: r.left + toPx(x[i]), y: r.top + AXIS + lane[i] * ROW + ROW / 2};
    },
  };
})();
)JS";

}  // namespace

}  // namespace sim
