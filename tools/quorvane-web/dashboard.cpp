// The dashboard: one page, its style sheet and its script, served from memory; the plots are drawn
// by Chart.js, which the server hands out from Debian's copy (/chart.js). The page asks nothing of
// the network but this server's /api, and writes nothing: the "what if" curve is only simulated.
#include "web_routes.hpp"

namespace quorvane::web {

const std::string& dashboardPage() {
    static const std::string page = R"HTML(<!doctype html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<meta name="color-scheme" content="light dark">
<title>Quorvane</title>
<link rel="stylesheet" href="/dashboard.css">
<link rel="icon" href="/favicon.svg" type="image/svg+xml">
</head>
<body>
<header>
<h1>Quorvane</h1>
<p id="state" aria-live="polite">Waiting for the control service…</p>
</header>
<main>
<div class="windows" role="group" aria-label="Time window">
<button type="button" data-window="10m" aria-pressed="true">10 min</button>
<button type="button" data-window="1h" aria-pressed="false">1 h</button>
<button type="button" data-window="24h" aria-pressed="false">24 h</button>
</div>
<div class="grid">
<section aria-labelledby="h-temperature">
<h2 id="h-temperature">Control temperature and the alert line (°C)</h2>
<div class="plot"><canvas id="temperature" role="img" aria-label="Control temperature over time, with the alert threshold"></canvas></div>
</section>
<section aria-labelledby="h-fans">
<h2 id="h-fans">Fans: actual (solid) and target (dashed), RPM</h2>
<div class="plot"><canvas id="fans" role="img" aria-label="Each fan's actual and target speed over time"></canvas></div>
</section>
<section aria-labelledby="h-curve">
<h2 id="h-curve">Curve: duty against °C, now and the last hour</h2>
<div class="plot"><canvas id="curve" role="img" aria-label="The active curve, the operating point now and the last hour's trail; the dashed curve is the one being tried"></canvas></div>
<p class="hint">Drag a point of the dashed curve, or type it in the table.</p>
</section>
<section aria-labelledby="h-whatif">
<h2 id="h-whatif">What if: the recorded hour with the dashed curve</h2>
<div class="plot"><canvas id="whatif" role="img" aria-label="Over the recorded hour, each fan's real target (solid) and the simulated one (dashed)"></canvas></div>
<table id="points">
<caption>The curve being tried</caption>
<thead><tr><th scope="col">°C</th><th scope="col">Duty %</th><th scope="col"><span class="sr">Remove</span></th></tr></thead>
<tbody></tbody>
</table>
<div class="actions">
<button type="button" id="add-point">Add a point</button>
<button type="button" id="reset-curve">Back to the active curve</button>
<button type="button" id="show-config" aria-expanded="false" aria-controls="config">Show control.json</button>
</div>
<p id="whatif-status" aria-live="polite"></p>
<div id="config" hidden>
<p>Save as <code>/etc/quorvane/control.json</code>, then check and apply it:</p>
<pre id="config-text" tabindex="0"></pre>
<pre id="apply-line" tabindex="0"></pre>
</div>
</section>
<section aria-labelledby="h-sensors" class="wide">
<h2 id="h-sensors">Sensors by class (● drives the fans)</h2>
<div id="sensors"><p>No sensors read yet.</p></div>
</section>
</div>
</main>
<script src="/chart.js"></script>
<script src="/dashboard.js"></script>
</body>
</html>
)HTML";
    return page;
}

const std::string& dashboardStyle() {
    static const std::string style = R"CSS(:root { color-scheme: light dark; --fg: #1d1d1f; --muted: #5c5c66; --bg: #fbfbfd; --panel: #ffffff; --grid: #d0d0d6;
  --t: #c2410c; --alert: #c92a2a; --a: #1864ab; --g: #2b8a3e; --p: #862e9c; --focus: #1864ab; }
@media (prefers-color-scheme: dark) { :root { --fg: #e9e9ee; --muted: #a8a8b3; --bg: #161618; --panel: #1f1f23; --grid: #3a3a40;
  --t: #ff8c42; --alert: #ff6b6b; --a: #4dabf7; --g: #69db7c; --p: #da77f2; --focus: #74c0fc; } }
* { box-sizing: border-box; }
body { font: 15px/1.4 system-ui, sans-serif; color: var(--fg); background: var(--bg); margin: 0 auto; padding: .75rem; max-width: 1880px; }
h1 { font-size: 1.3rem; margin: 0 0 .25rem; }
h2 { font-size: 1rem; margin: 0 0 .5rem; }
section { background: var(--panel); border: 1px solid var(--grid); border-radius: 8px; padding: .75rem; min-width: 0; }
.grid { display: grid; grid-template-columns: repeat(auto-fit, minmax(min(100%, 440px), 1fr)); gap: .75rem; align-items: start; }
.wide { grid-column: 1 / -1; }
.plot { position: relative; height: 260px; }
#state { font-variant-numeric: tabular-nums; color: var(--muted); margin: 0 0 .5rem; }
.windows, .actions { display: flex; flex-wrap: wrap; gap: .4rem; margin: .5rem 0; }
button { font: inherit; padding: .35rem .8rem; border: 1px solid var(--grid); border-radius: 6px; background: var(--bg); color: var(--fg); cursor: pointer; }
button[aria-pressed="true"] { font-weight: 600; border-color: var(--fg); }
:focus-visible { outline: 3px solid var(--focus); outline-offset: 2px; }
table { border-collapse: collapse; width: 100%; font-variant-numeric: tabular-nums; }
th, td { text-align: left; padding: .2rem .4rem; border-bottom: 1px solid var(--grid); }
caption { text-align: left; font-weight: 600; padding: .25rem 0; }
input { font: inherit; width: 6rem; padding: .2rem; background: var(--bg); color: var(--fg); border: 1px solid var(--grid); border-radius: 4px; }
pre { white-space: pre-wrap; word-break: break-all; background: var(--bg); border: 1px solid var(--grid); border-radius: 6px; padding: .5rem; font-size: .85rem; }
.hint { color: var(--muted); font-size: .85rem; margin: .25rem 0 0; }
.sensor-groups { display: grid; grid-template-columns: repeat(auto-fit, minmax(min(100%, 300px), 1fr)); gap: .75rem; }
.sr { position: absolute; width: 1px; height: 1px; overflow: hidden; clip: rect(0 0 0 0); }
)CSS";
    return style;
}

const std::string& dashboardIcon() {
    static const std::string icon =
        R"SVG(<svg xmlns="http://www.w3.org/2000/svg" viewBox="0 0 16 16"><circle cx="8" cy="8" r="7" fill="#1864ab"/>)SVG"
        R"SVG(<path d="M8 8L8 2A4 4 0 0 1 12 6ZM8 8L14 8A4 4 0 0 1 10 12ZM8 8L8 14A4 4 0 0 1 4 10ZM8 8L2 8A4 4 0 0 1 6 4Z" fill="#fff"/></svg>)SVG";
    return icon;
}

const std::string& dashboardScript() {
    static const std::string script = R"JS("use strict";
// The dashboard: plots with Chart.js, data from this server's /api only. Nothing here writes:
// the "what if" curve is only simulated by the control service over its recorded hour.
const $ = (id) => document.getElementById(id);
const css = (name) => getComputedStyle(document.documentElement).getPropertyValue(name).trim();
const fanColours = ["--a", "--g", "--p", "--t"];
// Seconds only where a window is short enough for them to tell ticks apart.
const clock = (t) => new Date(t * 1000).toLocaleTimeString([], windowName === "24h" ? { hour: "2-digit", minute: "2-digit" }
  : { hour: "2-digit", minute: "2-digit", second: "2-digit" });
const pick = (v) => (v && typeof v === "object" && !Array.isArray(v)) ? v.mean : v;
const series = (xs, ys) => xs.map((x, i) => ({ x, y: ys[i] === undefined ? null : ys[i] }));
const fallbackCurve = [[35, 0], [55, 0.35], [70, 0.65], [85, 1]];

let windowName = "10m";
let state = null, followed = null, hour = null, candidate = null, simulation = null, simulating = 0;
const charts = {};
// What the browser test reads.
window.quorvane = { charts, get history() { return lastHistory; }, get simulation() { return simulation; }, get candidate() { return candidate; } };
let lastHistory = null;

function uuid() {
  const b = crypto.getRandomValues(new Uint8Array(16));
  b[6] = (b[6] & 0x0f) | 0x40; b[8] = (b[8] & 0x3f) | 0x80;
  const h = Array.from(b, (x) => x.toString(16).padStart(2, "0")).join("").toUpperCase();
  return `${h.slice(0, 8)}-${h.slice(8, 12)}-${h.slice(12, 16)}-${h.slice(16, 20)}-${h.slice(20)}`;
}
const candidateId = uuid();

async function getJSON(path) {
  const r = await fetch(path, { cache: "no-store" });
  const body = await r.json().catch(() => ({}));
  if (!r.ok) throw new Error(body.error || path + ": " + r.status);
  return body;
}

function lineOptions(yTitle, xOptions) {
  return {
    animation: false, responsive: true, maintainAspectRatio: false, parsing: false, normalized: true,
    interaction: { mode: "nearest", intersect: false },
    plugins: { legend: { labels: { boxWidth: 14 } } },
    elements: { point: { radius: 0 }, line: { borderWidth: 1.5 } },
    scales: { x: Object.assign({ type: "linear", ticks: { callback: clock, maxTicksLimit: 6 } }, xOptions || {}),
              y: { title: { display: true, text: yTitle } } },
  };
}

function makeCharts() {
  for (const c of Object.values(charts)) c.destroy();
  Chart.defaults.color = css("--fg");
  Chart.defaults.borderColor = css("--grid");
  Chart.defaults.font.family = "system-ui, sans-serif";
  charts.temperature = new Chart($("temperature"), { type: "line", data: { datasets: [
    { label: "Control temperature", data: [], borderColor: css("--t"), backgroundColor: css("--t") },
    { label: "Alert", data: [], borderColor: css("--alert"), backgroundColor: css("--alert"), borderDash: [6, 4] },
  ] }, options: lineOptions("°C") });
  charts.fans = new Chart($("fans"), { type: "line", data: { datasets: [] }, options: lineOptions("RPM") });
  charts.whatif = new Chart($("whatif"), { type: "line", data: { datasets: [] }, options: lineOptions("RPM") });
  const percent = (v) => Math.round(v * 100) + " %";
  charts.curve = new Chart($("curve"), { type: "scatter", data: { datasets: [
    { label: "Active curve", data: [], showLine: true, borderColor: css("--fg"), backgroundColor: css("--fg"), pointRadius: 3 },
    { label: "Trying", data: [], showLine: true, borderColor: css("--p"), backgroundColor: css("--p"), borderDash: [6, 4], pointRadius: 6, pointHoverRadius: 8 },
    { label: "Last hour", data: [], borderColor: css("--a"), backgroundColor: css("--a"), pointRadius: 1.5 },
    { label: "Now", data: [], borderColor: css("--alert"), backgroundColor: css("--alert"), pointRadius: 7 },
  ] }, options: {
    animation: false, responsive: true, maintainAspectRatio: false, parsing: false,
    plugins: { legend: { labels: { boxWidth: 14 } }, tooltip: { callbacks: { label: (c) => `${c.parsed.x.toFixed(1)} °C, ${percent(c.parsed.y)}` } } },
    scales: { x: { type: "linear", title: { display: true, text: "°C" } },
              y: { min: 0, max: 1, title: { display: true, text: "duty" }, ticks: { callback: percent } } },
  } });
  enableDragging(charts.curve);
}

function fanDatasets(fans, t, realKey, otherKey, otherLabel) {
  const out = [];
  fans.forEach((f, i) => {
    const colour = css(fanColours[i % fanColours.length]);
    out.push({ label: `Fan ${f.id} ${realKey === "actualRPM" ? "actual" : "real target"}`, data: series(t, pick(f[realKey])), borderColor: colour, backgroundColor: colour });
    out.push({ label: `Fan ${f.id} ${otherLabel}`, data: series(t, pick(f[otherKey])), borderColor: colour, backgroundColor: colour, borderDash: [5, 4] });
  });
  return out;
}

function showState() {
  const temp = state.temperatureCelsius === null ? "no reading" : state.temperatureCelsius.toFixed(1) + " °C";
  $("state").textContent = "Following " + state.following + " · " + temp + (state.alert.firing ? " · ALERT" : "") + " · " +
    state.fans.map((f) => "fan " + f.id + " " + (f.actualRPM === null ? "?" : Math.round(f.actualRPM)) + " → " + Math.round(f.targetRPM) + " RPM").join(" · ");
}

function showSensors() {
  const groups = new Map();
  for (const s of state.sensors || []) {
    if (!groups.has(s.class)) groups.set(s.class, []);
    groups.get(s.class).push(s);
  }
  const root = $("sensors");
  if (!groups.size) return;
  const holder = document.createElement("div");
  holder.className = "sensor-groups";
  for (const [cls, list] of groups) {
    const table = document.createElement("table");
    const caption = table.createCaption();
    caption.textContent = cls[0].toUpperCase() + cls.slice(1) + " (" + list.length + ")";
    const head = table.createTHead().insertRow();
    for (const h of ["Name", "Key", "Where", "Value"]) { const th = document.createElement("th"); th.scope = "col"; th.textContent = h; head.appendChild(th); }
    const body = table.createTBody();
    list.sort((a, b) => (b.drivesFans - a.drivesFans) || a.name.localeCompare(b.name));
    for (const s of list) {
      const row = body.insertRow();
      row.insertCell().textContent = (s.drivesFans ? "● " : "") + s.name;
      row.insertCell().textContent = s.key;
      row.insertCell().textContent = s.category;
      row.insertCell().textContent = s.value === null ? "—" : s.value.toFixed(1) + " " + s.unit;
      if (s.drivesFans) row.title = "drives the fans";
    }
    holder.appendChild(table);
  }
  root.replaceChildren(holder);
}

async function refresh() {
  if (document.hidden) return;
  try {
    const [s, history] = await Promise.all([getJSON("/api/v1/state"), getJSON("/api/v1/history?window=" + windowName)]);
    state = s; lastHistory = history;
    showState();
    showSensors();
    const t = history.t;
    const temps = charts.temperature.data.datasets;
    temps[0].data = series(t, pick(history.temperatureCelsius));
    temps[1].data = t.length ? [{ x: t[0], y: state.alert.thresholdCelsius }, { x: t[t.length - 1], y: state.alert.thresholdCelsius }] : [];
    charts.temperature.update("none");
    charts.fans.data.datasets = fanDatasets(history.fans, t, "actualRPM", "targetRPM", "target");
    charts.fans.update("none");
    if (windowName === "1h") hour = history;
    else if (!hour || Date.now() - hour.fetched > 30000) { hour = await getJSON("/api/v1/history?window=1h"); hour.fetched = Date.now(); }
    if (!followed) {
      followed = await getJSON("/api/v1/profile");
      resetCandidate();
    }
    drawCurve();
  } catch (e) {
    $("state").textContent = "The control service does not answer (" + e.message + ")";
  }
}

function drawCurve() {
  const d = charts.curve.data.datasets;
  const points = ((followed && followed.profile.mode === 2) ? followed.profile.curvePoints : []).slice().sort((a, b) => a.temperature - b.temperature);
  d[0].data = points.map((p) => ({ x: p.temperature, y: p.rpmPercentage }));
  d[1].data = (candidate || []).map((p) => ({ x: p.temperature, y: p.rpmPercentage }));
  d[2].data = [];
  if (hour && hour.fans.length) hour.t.forEach((_, i) => {
    const x = hour.temperatureCelsius[i], y = hour.fans[0].duty[i];
    if (x !== null && y !== null) d[2].data.push({ x, y });
  });
  d[3].data = (state && state.fans.length && state.temperatureCelsius !== null && state.fans[0].duty !== null)
    ? [{ x: state.temperatureCelsius, y: state.fans[0].duty }] : [];
  charts.curve.update("none");
}

// --- what if ---
function resetCandidate() {
  const p = followed && followed.profile;
  candidate = (p && p.mode === 2 && p.curvePoints.length >= 2)
    ? p.curvePoints.map((c) => ({ id: c.id, temperature: c.temperature, rpmPercentage: c.rpmPercentage }))
    : fallbackCurve.map(([temperature, rpmPercentage]) => ({ id: uuid(), temperature, rpmPercentage }));
  candidate.sort((a, b) => a.temperature - b.temperature);
  candidateChanged();
}

const round = (v, digits) => Math.round(v * 10 ** digits) / 10 ** digits;

function candidateProfile() {
  const p = followed ? followed.profile : null;
  return { id: candidateId, name: "Custom curve", mode: 2, constantTargetRPM: 0,
           targetSensorGroupID: p ? p.targetSensorGroupID : "max",
           curvePoints: candidate.slice().sort((a, b) => a.temperature - b.temperature)
             .map((c) => ({ id: c.id, temperature: round(c.temperature, 1), rpmPercentage: round(c.rpmPercentage, 3) })) };
}

function controlJSON() {
  const config = { profile: candidateProfile() };
  if (followed && followed.mode) config.mode = followed.mode;
  if (followed && followed.alert) config.alert = followed.alert;
  return JSON.stringify(config, null, 2);
}

function showTable() {
  const body = $("points").tBodies[0];
  body.replaceChildren();
  candidate.forEach((p, i) => {
    const row = body.insertRow();
    const field = (value, min, max, step, label, set) => {
      const input = document.createElement("input");
      Object.assign(input, { type: "number", min, max, step, value });
      input.setAttribute("aria-label", label);
      input.addEventListener("change", () => {
        const v = Number(input.value);
        if (!Number.isFinite(v)) return;
        set(Math.min(max, Math.max(min, v)));
        candidateChanged(false);
      });
      row.insertCell().appendChild(input);
    };
    field(round(p.temperature, 1), 0, 130, 0.5, `Point ${i + 1} temperature, °C`, (v) => { p.temperature = v; });
    field(round(p.rpmPercentage * 100, 1), 0, 100, 1, `Point ${i + 1} duty, percent`, (v) => { p.rpmPercentage = v / 100; });
    const remove = document.createElement("button");
    Object.assign(remove, { type: "button", textContent: "Remove" });
    remove.setAttribute("aria-label", `Remove point ${i + 1}`);
    remove.disabled = candidate.length <= 2;
    remove.addEventListener("click", () => { candidate.splice(i, 1); candidateChanged(); });
    row.insertCell().appendChild(remove);
  });
}

let simulateTimer = null;
// redrawTable: false while an input of the table is being edited (keeps its focus).
function candidateChanged(redrawTable = true) {
  if (redrawTable) showTable();
  drawCurve();
  $("config-text").textContent = controlJSON();
  $("apply-line").textContent = "quorvanectl serve --check --config /etc/quorvane/control.json && systemctl reload quorvane-control";
  clearTimeout(simulateTimer);
  simulateTimer = setTimeout(simulate, 150);
}

async function simulate() {
  const ticket = ++simulating;
  $("whatif-status").textContent = "Simulating…";
  try {
    const result = await getJSON("/api/v1/simulate?profile=" + encodeURIComponent(JSON.stringify(candidateProfile())));
    if (ticket !== simulating) return;
    simulation = result;
    charts.whatif.data.datasets = fanDatasets(result.fans, result.t, "targetRPM", "simulatedTargetRPM", "simulated");
    charts.whatif.update("none");
    const n = result.t.length;
    $("whatif-status").textContent = n ? `Simulated ${n} recorded ticks (${Math.round((result.t[n - 1] - result.t[0]) / 60)} min).` : "Nothing recorded yet.";
  } catch (e) {
    if (ticket === simulating) $("whatif-status").textContent = "Cannot simulate: " + e.message;
  }
}

function enableDragging(chart) {
  const canvas = chart.canvas;
  let dragging = -1;
  const position = (e) => {
    const r = canvas.getBoundingClientRect();
    return { x: chart.scales.x.getValueForPixel(e.clientX - r.left), y: chart.scales.y.getValueForPixel(e.clientY - r.top) };
  };
  canvas.addEventListener("pointerdown", (e) => {
    const hit = chart.getElementsAtEventForMode(e, "nearest", { intersect: true }, false).find((h) => h.datasetIndex === 1);
    if (!hit || !candidate) return;
    const target = chart.data.datasets[1].data[hit.index];
    dragging = candidate.findIndex((p) => p.temperature === target.x && p.rpmPercentage === target.y);
    if (dragging >= 0) { canvas.setPointerCapture(e.pointerId); e.preventDefault(); }
  });
  canvas.addEventListener("pointermove", (e) => {
    if (dragging < 0) return;
    const p = position(e);
    candidate[dragging].temperature = Math.min(130, Math.max(0, round(p.x, 1)));
    candidate[dragging].rpmPercentage = Math.min(1, Math.max(0, round(p.y, 3)));
    drawCurve();
  });
  const end = () => { if (dragging >= 0) { dragging = -1; candidate.sort((a, b) => a.temperature - b.temperature); candidateChanged(); } };
  canvas.addEventListener("pointerup", end);
  canvas.addEventListener("pointercancel", end);
}

$("add-point").addEventListener("click", () => {
  const last = candidate[candidate.length - 1];
  candidate.push({ id: uuid(), temperature: Math.min(130, last.temperature + 5), rpmPercentage: last.rpmPercentage });
  candidateChanged();
});
$("reset-curve").addEventListener("click", resetCandidate);
$("show-config").addEventListener("click", (e) => {
  const open = $("config").hidden;
  $("config").hidden = !open;
  e.currentTarget.setAttribute("aria-expanded", String(open));
  e.currentTarget.textContent = open ? "Hide control.json" : "Show control.json";
});
document.querySelectorAll("button[data-window]").forEach((b) => b.addEventListener("click", () => {
  windowName = b.dataset.window;
  document.querySelectorAll("button[data-window]").forEach((o) => o.setAttribute("aria-pressed", String(o === b)));
  refresh();
}));
// Colours follow the system's light or dark appearance as it changes.
window.matchMedia("(prefers-color-scheme: dark)").addEventListener("change", () => { makeCharts(); refresh().then(() => candidate && simulate()); });
document.addEventListener("visibilitychange", () => { if (!document.hidden) refresh(); });

if (typeof Chart === "undefined") {
  $("state").textContent = "Chart.js is missing: install Debian's libjs-chart.js.";
} else {
  makeCharts();
  refresh();
  setInterval(refresh, 5000);
  setInterval(() => { if (candidate && !document.hidden) simulate(); }, 60000);
}
)JS";
    return script;
}

}  // namespace quorvane::web
