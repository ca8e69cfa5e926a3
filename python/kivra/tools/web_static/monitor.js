// The page of `kivra monitor --web`: one event stream in, redrawn once per animation frame.
"use strict";

const COLOURS = ["#d32f2f", "#388e3c", "#1976d2"];
const AXES = ["x", "y", "z"];
const TRAIL = 2.0; // [s] of path drawn in the workspace views

let windowSeconds = 10;
// Positions are kept and plotted in mm from origin (the spring's anchor, or
// where the arm was when the page was served): millimetres of motion show
// on a plot that absolute coordinates would stretch over decimetres.
let origin = [0, 0, 0];
const data = { t: [], p: [[], [], []], v: [[], [], []], f: [[], [], []] };
const metres = (axis, i) => origin[axis] + data.p[axis][i] / 1e3;
let stats = null;
let effects = null;
let dirty = false;
// Read by the browser test and handy in the console.
const view = { frames: 0, events: 0, lastTime: null, closed: false };
window.kivraView = view;
// The loop's scene as /api/scene describes it, and what each view drew of
// it last: per part its kind and its outline (or circle, polyline) [m] in
// the view's two coordinates.
const scene = { version: null, parts: [], solids: [], drawn: {} };
window.kivraScene = scene;

// ?frames=N: the page closes its event stream after N events, so that a
// headless browser's virtual time (--virtual-time-budget) can run out and
// its screenshot be taken: an open stream never lets the page go idle.
const FRAMES = Number(new URLSearchParams(location.search).get("frames")) || Infinity;

// ------------------------------------------------------------ plots and axes

// Plot heights [px]: three plots above each other.
const PLOT_HEIGHT = 180;
// The least span of each plot's value axis, so that a still arm shows as a
// flat line on a readable scale instead of noise stretched over the plot.
const MIN_SPAN = { position: 10, velocity: 20 }; // [mm], [mm/s]

// A range at least span wide around the data's.
function atLeast(span) {
  return (u, min, max) => {
    if (min == null || max == null || !isFinite(min) || !isFinite(max)) return [-span / 2, span / 2];
    if (max - min >= span) {
      const margin = 0.05 * (max - min);
      return [min - margin, max + margin];
    }
    const middle = (min + max) / 2;
    return [middle - span / 2, middle + span / 2];
  };
}

// Tick labels with as many decimals as the ticks' spacing needs, and no
// "-0" or 0.30000000000000004: each is rounded to a whole number of steps.
function tickLabels(u, splits) {
  const step = splits.length > 1 ? Math.abs(splits[1] - splits[0]) : 1;
  const digits = step > 0 ? Math.max(0, Math.min(6, -Math.floor(Math.log10(step) + 1e-9))) : 0;
  return splits.map((v) => {
    const text = (Math.round(v / step) * step).toFixed(digits);
    return Number(text) === 0 ? (0).toFixed(digits) : text;
  });
}
window.kivraTickLabels = tickLabels;

function plot(target, title, unit, range) {
  const shown = (u, v) => (v == null ? "" : v.toFixed(3));
  const series = [{ label: "t [s]", value: shown }];
  AXES.forEach((axis, i) => series.push({ label: axis, stroke: COLOURS[i], width: 1, value: shown }));
  const element = document.getElementById(target);
  return new uPlot(
    {
      title: title,
      width: element.clientWidth || 600,
      height: PLOT_HEIGHT,
      scales: { x: { time: false }, y: { range: range } },
      series: series,
      axes: [{ label: "time [s]", values: tickLabels }, { label: unit, values: tickLabels }],
      legend: { live: false },
    },
    [[], [], [], []],
    element,
  );
}

// The force plot spans the loop's force limit either way: a force is seen
// against what the loop may send, and the axis stays put while it changes.
function forceRange() {
  const limit = effects && effects.values.force_limit > 0 ? effects.values.force_limit : 1;
  return (u, min, max) => {
    const reach = Math.max(limit, Math.abs(min || 0), Math.abs(max || 0));
    return [-reach, reach];
  };
}

let positionPlot = null;
let velocityPlot = null;
let forcePlot = null;
let forceLimitShown = null;

function append(frame) {
  if (frame.stats) {
    stats = frame.stats;
    if (stats.scene !== scene.version) loadScene();
    dirty = true;
  }
  if (!frame.t) return;
  // A reconnected stream starts with history the page may already hold.
  const last = data.t.length ? data.t[data.t.length - 1] : -Infinity;
  for (let i = 0; i < frame.t.length; i++) {
    if (frame.t[i] <= last) continue;
    data.t.push(frame.t[i]);
    for (let a = 0; a < 3; a++) {
      data.p[a].push((frame.p[a][i] - origin[a]) * 1e3);
      data.v[a].push(frame.v ? frame.v[a][i] * 1e3 : null);
      data.f[a].push(frame.f[a][i]);
    }
  }
  const newest = data.t[data.t.length - 1];
  let old = 0;
  while (old < data.t.length && data.t[old] < newest - windowSeconds) old++;
  if (old > 0) {
    data.t.splice(0, old);
    for (let a = 0; a < 3; a++) {
      data.p[a].splice(0, old);
      data.v[a].splice(0, old);
      data.f[a].splice(0, old);
    }
  }
  view.lastTime = newest;
  dirty = true;
}

// ------------------------------------------------------------ workspace views

// The part of the rectangle given by its corners where d(x, y) < 0, for an
// affine d: the region behind a wall, clipped once against its plane; and
// the points where the plane crosses the rectangle's border.
function behind(corners, d) {
  const region = [], cut = [];
  for (let i = 0; i < corners.length; i++) {
    const a = corners[i], b = corners[(i + 1) % corners.length];
    const da = d(a), db = d(b);
    if (da < 0) region.push(a);
    if ((da < 0) !== (db < 0)) {
      const s = da / (da - db);
      const q = [a[0] + s * (b[0] - a[0]), a[1] + s * (b[1] - a[1])];
      region.push(q);
      cut.push(q);
    }
  }
  return [region, cut];
}

const span = { value: 0.1 }; // [m] shown across a view; grows with the path, never shrinks

function drawView(canvasId, horizontal, vertical) {
  const canvas = document.getElementById(canvasId);
  const g = canvas.getContext("2d");
  const w = canvas.width, h = canvas.height;
  g.clearRect(0, 0, w, h);
  const n = data.t.length;
  if (!n || !effects) return;
  const now = [0, 1, 2].map((a) => metres(a, n - 1));
  const centre = effects.anchor;
  const scale = Math.min(w, h) / span.value; // pixels per metre
  const toPixel = (q) => [w / 2 + (q[0] - centre[horizontal]) * scale, h / 2 - (q[1] - centre[vertical]) * scale];
  const toMetre = (px) => [centre[horizontal] + (px[0] - w / 2) / scale, centre[vertical] - (px[1] - h / 2) / scale];
  const corners = [[0, 0], [w, 0], [w, h], [0, h]].map(toMetre);
  const third = 3 - horizontal - vertical;

  for (const wall of effects.walls) {
    const p = wall.point, nrm = wall.normal;
    const d = (q) => nrm[horizontal] * (q[0] - p[horizontal]) + nrm[vertical] * (q[1] - p[vertical]) + nrm[third] * (now[third] - p[third]);
    const [inside, cut] = behind(corners, d);
    if (inside.length < 3) continue;
    const region = inside.map(toPixel);
    const stiff = effects.values.wall_stiffness > 0;
    g.fillStyle = stiff ? "rgba(198, 40, 40, 0.15)" : "rgba(120, 120, 120, 0.10)";
    g.beginPath();
    region.forEach((q, i) => (i ? g.lineTo(q[0], q[1]) : g.moveTo(q[0], q[1])));
    g.closePath();
    g.fill();
    if (cut.length === 2) {
      const [a, b] = cut.map(toPixel);
      g.strokeStyle = stiff ? "#c62828" : "#888";
      g.lineWidth = 2;
      g.beginPath();
      g.moveTo(a[0], a[1]);
      g.lineTo(b[0], b[1]);
      g.stroke();
    }
  }

  drawScene(g, canvasId, horizontal, vertical, now[third], toPixel, scale, corners);

  // The anchor of the spring, or where the view is centred.
  const c = toPixel([centre[horizontal], centre[vertical]]);
  g.strokeStyle = "#999";
  g.lineWidth = 1;
  g.beginPath();
  g.moveTo(c[0] - 6, c[1]); g.lineTo(c[0] + 6, c[1]);
  g.moveTo(c[0], c[1] - 6); g.lineTo(c[0], c[1] + 6);
  g.stroke();

  const since = data.t[n - 1] - TRAIL;
  g.strokeStyle = "#1976d2";
  g.beginPath();
  let first = true;
  const stride = Math.max(1, Math.floor(n / 2000));
  for (let i = 0; i < n; i += stride) {
    if (data.t[i] < since) continue;
    const q = toPixel([metres(horizontal, i), metres(vertical, i)]);
    first ? g.moveTo(q[0], q[1]) : g.lineTo(q[0], q[1]);
    first = false;
  }
  g.stroke();
  const q = toPixel([now[horizontal], now[vertical]]);
  g.fillStyle = "#0d47a1";
  g.beginPath();
  g.arc(q[0], q[1], 5, 0, 2 * Math.PI);
  g.fill();

  g.fillStyle = "#555";
  g.font = "11px system-ui";
  g.fillText(AXES[horizontal] + " \u2192", w - 30, h - 6);
  g.fillText(AXES[vertical] + " \u2191", 4, 12);
  g.fillText((span.value * 100).toFixed(0) + " cm across", 4, h - 6);
}

function growSpan() {
  if (!effects) return;
  const n = data.t.length;
  let far = 0;
  for (let i = 0; i < n; i += Math.max(1, Math.floor(n / 500))) {
    for (let a = 0; a < 3; a++) far = Math.max(far, Math.abs(metres(a, i) - effects.anchor[a]));
  }
  // The scene's solids and viscous boxes in view too.
  for (const solid of scene.solids) {
    for (const [q, r] of [...solid.points.map((p) => [p, 0]), ...solid.round]) {
      for (let a = 0; a < 3; a++) far = Math.max(far, Math.abs(q[a] - effects.anchor[a]) + r);
    }
  }
  span.value = Math.max(span.value, 2.5 * far);
}

// ------------------------------------------------------------ the scene

// v turned by the unit quaternion q = (w, x, y, z).
function turn(q, v) {
  const [w, x, y, z] = q;
  const t = [2 * (y * v[2] - z * v[1]), 2 * (z * v[0] - x * v[2]), 2 * (x * v[1] - y * v[0])];
  return [v[0] + w * t[0] + y * t[2] - z * t[1], v[1] + w * t[1] + z * t[0] - x * t[2], v[2] + w * t[2] + x * t[1] - y * t[0]];
}

// A part's point of its own frame in the arm's.
function placer(part) {
  const o = part.orientation || [1, 0, 0, 0];
  const length = Math.hypot(...o);
  const q = o.map((c) => c / length);
  return (v) => turn(q, v).map((c, a) => c + part.position[a]);
}

function boxCorners(low, high, place) {
  const corners = [];
  for (const x of [low[0], high[0]]) for (const y of [low[1], high[1]]) for (const z of [low[2], high[2]]) corners.push(place([x, y, z]));
  return corners;
}

const RIM_POINTS = 48;

// A bounded part as points [m] whose projection's convex hull, with the
// discs of its round ends (centre, radius), is its outline in any view:
// exact for spheres, boxes, capsules and (up to the rim's sampling) cylinders,
// the bounding box for a mesh.
function solidOf(part) {
  const place = placer(part);
  const of = (points, round) => ({ kind: part.kind, part: part, points: points, round: round || [] });
  switch (part.kind) {
    case "Sphere": return of([], [[part.position, part.radius]]);
    case "Capsule": return of([], [[place([0, 0, -part.half_length]), part.radius], [place([0, 0, part.half_length]), part.radius]]);
    case "Box": return of(boxCorners(part.half_extents.map((h) => -h), part.half_extents, place));
    case "Cylinder": {
      const rims = [];
      for (let i = 0; i < RIM_POINTS; i++) {
        const a = (2 * Math.PI * i) / RIM_POINTS, x = part.radius * Math.cos(a), y = part.radius * Math.sin(a);
        rims.push(place([x, y, -part.half_length]), place([x, y, part.half_length]));
      }
      return of(rims);
    }
    case "Mesh": return part.bounds ? of(boxCorners(part.bounds.low, part.bounds.high, place)) : null;
    case "ViscousBox": return of(boxCorners(part.low, part.high, (v) => v));
    default: return null;
  }
}

// Andrew's monotone chain: the convex hull of 2-D points, counter-clockwise.
function hull(points) {
  const p = points.slice().sort((a, b) => a[0] - b[0] || a[1] - b[1]);
  if (p.length < 3) return p;
  const cross = (o, a, b) => (a[0] - o[0]) * (b[1] - o[1]) - (a[1] - o[1]) * (b[0] - o[0]);
  const half = (list) => {
    const chain = [];
    for (const q of list) {
      while (chain.length >= 2 && cross(chain[chain.length - 2], chain[chain.length - 1], q) <= 0) chain.pop();
      chain.push(q);
    }
    chain.pop();
    return chain;
  };
  return half(p).concat(half(p.slice().reverse()));
}

async function loadScene() {
  if (scene.loading) return;
  scene.loading = true;
  try {
    const reply = await fetch("/api/scene");
    if (!reply.ok) return;
    const answer = await reply.json();
    scene.parts = answer.parts;
    scene.solids = answer.parts.map(solidOf).filter((solid) => solid);
    scene.version = answer.version;
    dirty = true;
  } catch (error) {
    // Asked again with the next figures that carry another version than the page's.
  } finally {
    scene.loading = false;
  }
}

function path(g, points, toPixel, close) {
  g.beginPath();
  points.map(toPixel).forEach((q, i) => (i ? g.lineTo(q[0], q[1]) : g.moveTo(q[0], q[1])));
  if (close) g.closePath();
}

// Solids grey, a viscous box amber, guides dashed violet, detents orange;
// depth [m] is the hand's third coordinate, where a plane is cut.
function drawScene(g, canvasId, horizontal, vertical, depth, toPixel, scale, corners) {
  const drawn = [];
  const flat = (q) => [q[horizontal], q[vertical]];
  const third = 3 - horizontal - vertical;
  g.lineWidth = 1.5;
  for (const part of scene.parts) {
    if (part.kind === "Plane") {
      // Like a wall: the region behind it at the hand's depth.
      const place = placer(part), p = part.position;
      const n = place([0, 0, 1]).map((c, a) => c - p[a]);
      const d = (q) => n[horizontal] * (q[0] - p[horizontal]) + n[vertical] * (q[1] - p[vertical]) + n[third] * (depth - p[third]);
      const [inside, cut] = behind(corners, d);
      if (inside.length >= 3) {
        g.fillStyle = "rgba(69, 90, 100, 0.18)";
        path(g, inside, toPixel, true);
        g.fill();
      }
      if (cut.length === 2) {
        g.strokeStyle = "#455a64";
        path(g, cut, toPixel, false);
        g.stroke();
      }
      drawn.push({ kind: part.kind, cut: cut });
    } else if (part.kind === "Guide") {
      const points = part.points.map(flat);
      g.strokeStyle = "#8e24aa";
      g.setLineDash([6, 3]);
      path(g, points, toPixel, false);
      g.stroke();
      g.setLineDash([]);
      drawn.push({ kind: part.kind, points: points });
    } else if (part.kind === "Detents") {
      const circles = part.centres.map((c, i) => ({ centre: flat(c), radius: part.radii[i] }));
      g.strokeStyle = "#ef6c00";
      for (const c of circles) {
        const q = toPixel(c.centre);
        g.beginPath();
        g.arc(q[0], q[1], Math.max(2, c.radius * scale), 0, 2 * Math.PI);
        g.stroke();
      }
      drawn.push({ kind: part.kind, circles: circles });
    }
  }
  for (const solid of scene.solids) {
    const viscous = solid.kind === "ViscousBox";
    g.fillStyle = viscous ? "rgba(255, 179, 0, 0.22)" : "rgba(69, 90, 100, 0.25)";
    g.strokeStyle = viscous ? "rgba(255, 143, 0, 0.6)" : "#455a64";
    if (!solid.points.length && solid.round.length === 1) {
      const [c, r] = solid.round[0], q = toPixel(flat(c));
      g.beginPath();
      g.arc(q[0], q[1], r * scale, 0, 2 * Math.PI);
      g.fill();
      g.stroke();
      drawn.push({ kind: solid.kind, centre: flat(c), radius: r });
      continue;
    }
    const points = solid.points.map(flat);
    for (const [c, r] of solid.round) {
      for (let i = 0; i < RIM_POINTS; i++) {
        const a = (2 * Math.PI * i) / RIM_POINTS;
        points.push([c[horizontal] + r * Math.cos(a), c[vertical] + r * Math.sin(a)]);
      }
    }
    const outline = hull(points);
    path(g, outline, toPixel, true);
    g.fill();
    g.stroke();
    drawn.push({ kind: solid.kind, outline: outline });
  }
  scene.drawn[canvasId] = drawn;
}

// ------------------------------------------------------------ figures and controls

const us = (s) => (s * 1e6).toFixed(0) + " \u00b5s";
const percentiles = (p) => p.map(us).join(" / ");

function drawFigures() {
  if (!stats) return;
  const rows = [
    ["loop rate", stats.rate == null ? "\u2013" : stats.rate.toFixed(1) + " Hz"],
    ["ticks", String(stats.ticks)],
    ["missed deadlines", String(stats.misses)],
    ["failed exchanges", String(stats.failed)],
    ["wake-up lateness", ""],
    ["\u2003p50 / p99 / p99.9 / max", percentiles(stats.lateness)],
    ["exchange time", ""],
    ["\u2003p50 / p99 / p99.9 / max", percentiles(stats.exchange)],
    ["real-time", (stats.realtime ? "yes" : "no") + ", memory " + (stats.memory_locked ? "locked" : "not locked")],
    ["loop", stats.running ? "running" : "stopped"],
  ];
  // The rows once, then only their texts: no new elements ten times a second.
  const table = document.getElementById("figures");
  if (table.rows.length !== rows.length) {
    table.innerHTML = rows.map(() => "<tr><td></td><td></td></tr>").join("");
  }
  rows.forEach((r, i) => {
    table.rows[i].cells[0].textContent = r[0];
    table.rows[i].cells[1].textContent = r[1];
  });
}

// Every other animation frame at most: 30 updates a second leave the
// browser's share of the processor to the machine that runs the loop.
const MIN_FRAME_INTERVAL = 20; // [ms]
let lastDraw = 0;
let statsShown = null;

function redraw(now) {
  requestAnimationFrame(redraw);
  if (!dirty || now - lastDraw < MIN_FRAME_INTERVAL || document.visibilityState !== "visible") return;
  lastDraw = now;
  dirty = false;
  if (!paused) {
    positionPlot.setData([data.t, data.p[0], data.p[1], data.p[2]]);
    velocityPlot.setData([data.t, data.v[0], data.v[1], data.v[2]]);
    if (effects && effects.values.force_limit !== forceLimitShown) {
      forceLimitShown = effects.values.force_limit;
      forcePlot.scales.y.range = forceRange();
    }
    forcePlot.setData([data.t, data.f[0], data.f[1], data.f[2]]);
    growSpan();
    drawView("side-view", 0, 2);
    drawView("top-view", 0, 1);
  }
  if (stats !== statsShown) {
    statsShown = stats;
    drawFigures();
  }
  view.frames++;
}

function message(text) {
  document.getElementById("message").textContent = text;
}

async function post(path, body) {
  const reply = await fetch(path, { method: "POST", headers: { "Content-Type": "application/json" }, body: JSON.stringify(body) });
  const answer = await reply.json();
  if (!reply.ok) throw new Error(answer.error || reply.statusText);
  return answer;
}

// At most one change in flight per control; the latest value wins.
const pending = {};
const inFlight = {};
async function send(name) {
  if (inFlight[name] || !(name in pending)) return;
  inFlight[name] = true;
  const value = pending[name];
  delete pending[name];
  try {
    effects = await post("/api/effects", { [name]: value });
    message("");
    dirty = true;
  } catch (error) {
    message("Not applied: " + error.message);
  } finally {
    inFlight[name] = false;
    send(name);
  }
}

function buildControls(controls) {
  const form = document.getElementById("controls");
  for (const c of controls) {
    const label = document.createElement("label");
    const shown = document.createElement("span");
    const input = document.createElement("input");
    input.type = "range";
    input.id = c.name;
    input.min = 0;
    input.max = c.maximum;
    input.step = c.step;
    input.value = effects.values[c.name];
    shown.textContent = Number(input.value) + " " + c.unit;
    input.addEventListener("input", () => {
      shown.textContent = Number(input.value) + " " + c.unit;
      pending[c.name] = Number(input.value);
      send(c.name);
    });
    label.append(c.label, shown, input);
    form.append(label);
  }
}

document.getElementById("stop").addEventListener("click", async () => {
  try {
    effects = await post("/api/release", {});
    message("Released: the force ramps to zero. Move a control to apply the effects again.");
  } catch (error) {
    message("Not released: " + error.message);
  }
});

// ------------------------------------------------------------ recording and pause

// Paused, the plots and views keep what they show while the data goes on
// arriving: resumed, they show the loop as it is.
let paused = false;
const RECORDING_POLL = 1000; // [ms] between two looks at a recording under way
let recordingTimer = null;

function showRecording(r) {
  const recording = Boolean(r.recording);
  document.getElementById("record").disabled = recording;
  document.getElementById("record-stop").disabled = !recording;
  const text = document.getElementById("recording-status");
  const link = document.getElementById("download");
  if (!r.file) {
    text.textContent = "Not recording.";
  } else {
    const size = r.bytes == null ? "" : ": " + r.ticks + " ticks, " + (r.bytes / 1e6).toFixed(2) + " MB" +
      (r.dropped ? ", " + r.dropped + " not kept" : "");
    text.textContent = (recording ? "Recording into " : "Recorded ") + r.file + size + (r.error ? ". Ended: " + r.error : "");
  }
  link.hidden = !r.download;
  if (r.download) {
    link.href = r.download;
    link.download = r.file;
    link.textContent = "Download " + r.file;
  }
  clearTimeout(recordingTimer);
  if (recording) recordingTimer = setTimeout(lookAtRecording, RECORDING_POLL);
}

async function lookAtRecording() {
  try {
    const reply = await fetch("/api/status");
    if (reply.ok) {
      showRecording((await reply.json()).recording);
      return;
    }
  } catch (error) {
    // the next look tries again
  }
  recordingTimer = setTimeout(lookAtRecording, RECORDING_POLL);
}

async function recordAction(action, failed) {
  try {
    showRecording(await post("/api/record", { action }));
    message("");
  } catch (error) {
    message(failed + error.message);
  }
}

document.getElementById("record").addEventListener("click", () => recordAction("start", "Not recording: "));
document.getElementById("record-stop").addEventListener("click", () => recordAction("stop", "Not stopped: "));
document.getElementById("pause").addEventListener("click", () => {
  paused = !paused;
  if (paused) {
    // The plots keep copies: the live arrays go on growing and being trimmed in place.
    const copies = (series) => [data.t.slice(), ...series.map((values) => values.slice())];
    positionPlot.setData(copies(data.p));
    velocityPlot.setData(copies(data.v));
    forcePlot.setData(copies(data.f));
  }
  const button = document.getElementById("pause");
  button.textContent = paused ? "Resume the plots" : "Pause the plots";
  button.setAttribute("aria-pressed", String(paused));
  dirty = true;
});

function connect() {
  const status = document.getElementById("connection");
  const events = new EventSource("/events");
  events.onopen = () => { status.textContent = "live"; status.className = "good"; };
  events.onerror = () => {
    if (view.closed) return;
    status.textContent = "reconnecting";
    status.className = "bad";
    // A lost connection the browser retries by itself; an answer other than
    // the stream (a busy server's 503) ends it for good: try again later.
    if (events.readyState === EventSource.CLOSED) setTimeout(connect, RETRY_INTERVAL);
  };
  events.onmessage = (event) => {
    view.events++;
    append(JSON.parse(event.data));
    if (view.events >= FRAMES) {
      view.closed = true;
      events.close();
      status.textContent = "stopped after " + FRAMES + " frames";
      status.className = "bad";
    }
  };
}

function resize() {
  for (const [u, id] of [[positionPlot, "position-plot"], [velocityPlot, "velocity-plot"], [forcePlot, "force-plot"]]) {
    u.setSize({ width: document.getElementById(id).clientWidth, height: PLOT_HEIGHT });
  }
}

const RETRY_INTERVAL = 2000; // [ms] before a busy server is asked again

async function start() {
  // The page's requests carry the server's token as the cookie it set when
  // this page was opened from the address with ?token=.
  const reply = await fetch("/api/status");
  const status = await reply.json();
  if (reply.status === 503) {
    message(status.error + " (trying again)");
    setTimeout(start, RETRY_INTERVAL);
    return;
  }
  if (!reply.ok) {
    const shown = document.getElementById("connection");
    shown.textContent = "refused";
    message(status.error || reply.statusText);
    return;
  }
  message("");
  windowSeconds = status.window;
  effects = status.effects;
  origin = effects.anchor;
  const mm = origin.map((v) => (v * 1e3).toFixed(1)).join(", ");
  positionPlot = plot("position-plot", "Position [mm] from (" + mm + ")", "mm", atLeast(MIN_SPAN.position));
  velocityPlot = plot("velocity-plot", "Velocity [mm/s]", "mm/s", atLeast(MIN_SPAN.velocity));
  forcePlot = plot("force-plot", "Force [N], within the force limit", "N", forceRange());
  forceLimitShown = effects.values.force_limit;
  window.kivraPlots = { position: positionPlot, velocity: velocityPlot, force: forcePlot };
  document.getElementById("identity").textContent = Object.entries(status.identity).map(([k, v]) => k + " " + v).join(" \u00b7 ");
  buildControls(status.controls);
  showRecording(status.recording);
  window.addEventListener("resize", resize);
  await loadScene();
  connect();
  requestAnimationFrame(redraw);
}

start();
