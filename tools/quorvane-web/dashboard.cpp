// The dashboard: one page and its script, both served from memory. The plots are drawn on canvases
// by the script itself, so the page needs nothing from the network but this server's /api.
#include "web_routes.hpp"

namespace quorvane::web {

const std::string& dashboardPage() {
    static const std::string page = R"HTML(<!doctype html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>Quorvane</title>
<style>
:root { color-scheme: light dark; --fg: #1d1d1f; --bg: #fbfbfd; --grid: #d0d0d6; --t: #d9480f; --alert: #c92a2a; --a: #1971c2; --g: #2f9e44; }
@media (prefers-color-scheme: dark) { :root { --fg: #e9e9ee; --bg: #161618; --grid: #3a3a40; --t: #ff8c42; --alert: #ff6b6b; --a: #4dabf7; --g: #69db7c; } }
body { font: 15px system-ui, sans-serif; color: var(--fg); background: var(--bg); margin: 0 auto; padding: 1rem; max-width: 1200px; }
h1 { font-size: 1.3rem; margin: 0 0 .5rem; }
section { margin: 1rem 0; }
canvas { width: 100%; height: 220px; display: block; }
#state { font-variant-numeric: tabular-nums; }
button { font: inherit; padding: .3rem .8rem; }
button[aria-pressed="true"] { font-weight: bold; }
.grid { display: grid; grid-template-columns: repeat(auto-fit, minmax(320px, 1fr)); gap: 1rem; }
</style>
</head>
<body>
<h1>Quorvane</h1>
<p id="state" aria-live="polite">Waiting for the control service…</p>
<div role="group" aria-label="Time window">
<button data-window="10m" aria-pressed="true">10 min</button>
<button data-window="1h" aria-pressed="false">1 h</button>
<button data-window="24h" aria-pressed="false">24 h</button>
</div>
<div class="grid">
<section><h2>Control temperature (°C)</h2><canvas id="temperature" role="img" aria-label="Control temperature over time"></canvas></section>
<section><h2>Fans (RPM): actual solid, target dashed</h2><canvas id="fans" role="img" aria-label="Fan speeds over time"></canvas></section>
<section><h2>Curve (duty against °C) and the last hour</h2><canvas id="curve" role="img" aria-label="The active curve with the operating point"></canvas></section>
</div>
<script src="/dashboard.js"></script>
</body>
</html>
)HTML";
    return page;
}

const std::string& dashboardScript() {
    static const std::string script = R"JS("use strict";
let windowName = "10m";
const css = (name) => getComputedStyle(document.documentElement).getPropertyValue(name).trim();
const fanColours = ["--a", "--g", "--t", "--alert"];

function setup(canvas) {
  const ratio = window.devicePixelRatio || 1;
  const w = canvas.clientWidth, h = canvas.clientHeight;
  canvas.width = Math.round(w * ratio); canvas.height = Math.round(h * ratio);
  const ctx = canvas.getContext("2d");
  ctx.setTransform(ratio, 0, 0, ratio, 0, 0);
  ctx.clearRect(0, 0, w, h);
  ctx.font = "12px system-ui, sans-serif";
  return { ctx, w, h };
}

// Draws series [{xs, ys, colour, dash}] with shared axes; nulls break a line.
function plot(canvas, series, opts) {
  const { ctx, w, h } = setup(canvas);
  const pad = { l: 48, r: 8, t: 8, b: 22 };
  let xmin = Infinity, xmax = -Infinity, ymin = Infinity, ymax = -Infinity;
  for (const s of series) s.xs.forEach((x, i) => { const y = s.ys[i]; if (y === null) return;
    xmin = Math.min(xmin, x); xmax = Math.max(xmax, x); ymin = Math.min(ymin, y); ymax = Math.max(ymax, y); });
  for (const y of opts.extraY || []) { ymin = Math.min(ymin, y); ymax = Math.max(ymax, y); }
  if (opts.xRange) [xmin, xmax] = opts.xRange;
  if (!isFinite(xmin) || !isFinite(ymin)) { ctx.fillStyle = css("--fg"); ctx.fillText("no data yet", pad.l, h / 2); return; }
  if (xmax === xmin) xmax = xmin + 1;
  if (ymax === ymin) { ymax += 1; ymin -= 1; }
  const X = (x) => pad.l + (x - xmin) / (xmax - xmin) * (w - pad.l - pad.r);
  const Y = (y) => h - pad.b - (y - ymin) / (ymax - ymin) * (h - pad.t - pad.b);
  ctx.strokeStyle = css("--grid"); ctx.fillStyle = css("--fg"); ctx.lineWidth = 1;
  for (let k = 0; k <= 4; k++) {
    const y = ymin + (ymax - ymin) * k / 4;
    ctx.beginPath(); ctx.moveTo(pad.l, Y(y)); ctx.lineTo(w - pad.r, Y(y)); ctx.stroke();
    ctx.fillText(opts.yLabel ? opts.yLabel(y) : y.toFixed(0), 2, Y(y) + 4);
  }
  ctx.fillText(opts.xLabel(xmin), pad.l, h - 4);
  const right = opts.xLabel(xmax); ctx.fillText(right, w - pad.r - ctx.measureText(right).width, h - 4);
  for (const s of series) {
    ctx.strokeStyle = s.colour; ctx.fillStyle = s.colour; ctx.lineWidth = s.width || 1.5; ctx.setLineDash(s.dash || []);
    if (s.dots) { s.xs.forEach((x, i) => { if (s.ys[i] !== null) { ctx.beginPath(); ctx.arc(X(x), Y(s.ys[i]), s.radius || 1.5, 0, 7); ctx.fill(); } }); continue; }
    ctx.beginPath(); let pen = false;
    s.xs.forEach((x, i) => { const y = s.ys[i]; if (y === null) { pen = false; return; }
      if (pen) ctx.lineTo(X(x), Y(y)); else { ctx.moveTo(X(x), Y(y)); pen = true; } });
    ctx.stroke(); ctx.setLineDash([]);
  }
}

const clock = (t) => new Date(t * 1000).toLocaleTimeString([], { hour: "2-digit", minute: "2-digit" });
const pick = (v) => (v && typeof v === "object" && !Array.isArray(v)) ? v.mean : v;

async function getJSON(path) {
  const r = await fetch(path, { cache: "no-store" });
  if (!r.ok) throw new Error(path + ": " + r.status);
  return r.json();
}

let lastState = null, lastProfile = null, lastHour = null;

async function refresh() {
  try {
    const [state, history] = await Promise.all([getJSON("/api/v1/state"), getJSON("/api/v1/history?window=" + windowName)]);
    lastState = state;
    const temps = pick(history.temperatureCelsius);
    const temp = state.temperatureCelsius === null ? "no reading" : state.temperatureCelsius.toFixed(1) + " °C";
    document.getElementById("state").textContent = "Following " + state.following + " · " + temp +
      (state.alert.firing ? " · ALERT" : "") + " · " + state.fans.map((f) => "fan " + f.id + " " +
      (f.actualRPM === null ? "?" : Math.round(f.actualRPM)) + " → " + Math.round(f.targetRPM) + " RPM").join(" · ");
    plot(document.getElementById("temperature"), [
      { xs: history.t, ys: temps, colour: css("--t") },
      { xs: [history.t[0], history.t[history.t.length - 1]], ys: [state.alert.thresholdCelsius, state.alert.thresholdCelsius], colour: css("--alert"), dash: [6, 4] },
    ], { xLabel: clock });
    const fanSeries = [];
    history.fans.forEach((f, i) => { const c = css(fanColours[i % fanColours.length]);
      fanSeries.push({ xs: history.t, ys: pick(f.actualRPM), colour: c });
      fanSeries.push({ xs: history.t, ys: pick(f.targetRPM), colour: c, dash: [5, 4] }); });
    plot(document.getElementById("fans"), fanSeries, { xLabel: clock });
    if (windowName !== "1h") lastHour = lastHour || await getJSON("/api/v1/history?window=1h"); else lastHour = history;
    drawCurve();
  } catch (e) {
    document.getElementById("state").textContent = "The control service does not answer (" + e.message + ")";
  }
}

async function drawCurve() {
  try { lastProfile = lastProfile || await getJSON("/api/v1/profile"); } catch (e) { return; }
  const points = (lastProfile.profile.curvePoints || []).slice().sort((a, b) => a.temperature - b.temperature);
  const series = [{ xs: points.map((p) => p.temperature), ys: points.map((p) => p.rpmPercentage), colour: css("--fg"), width: 2 }];
  if (lastHour && lastHour.fans.length) series.push({ xs: lastHour.temperatureCelsius, ys: lastHour.fans[0].duty, colour: css("--a"), dots: true, radius: 1 });
  if (lastState && lastState.fans.length && lastState.temperatureCelsius !== null)
    series.push({ xs: [lastState.temperatureCelsius], ys: [lastState.fans[0].duty], colour: css("--alert"), dots: true, radius: 5 });
  plot(document.getElementById("curve"), series, { xLabel: (x) => x.toFixed(0) + " °C", yLabel: (y) => (y * 100).toFixed(0) + " %" });
}

document.querySelectorAll("button[data-window]").forEach((b) => b.addEventListener("click", () => {
  windowName = b.dataset.window;
  document.querySelectorAll("button[data-window]").forEach((o) => o.setAttribute("aria-pressed", String(o === b)));
  refresh();
}));
window.addEventListener("resize", refresh);
refresh();
setInterval(refresh, 5000);
)JS";
    return script;
}

}  // namespace quorvane::web
