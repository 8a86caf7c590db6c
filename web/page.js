// The page: draws the rope the module simulates and its world, paces it to the wall clock and
// passes drags on as carriage targets. Query parameters: ?golden runs the golden script (two target moves, 2 s)
// and writes the states into #results; ?measure writes the speed figures there; ?unpaced runs as
// many frames as the browser allows, for the real-time factor; ?at=S starts the page at S seconds
// of simulated time (a picture of a given moment; caught up with between paints, S at most
// latestStart); the panel's keys (?links=40, ?ground_height=-0.25) set the rope, a refused value
// saying why.
// Whatever the rope, the page does at most workPerPaint ms of simulation between paints, so it
// keeps answering the pointer and the panel.
"use strict";

const frameSpan = 0.01;      // s of simulated time per frame (the library's)
const boxThickness = 0.01;   // m, as the window draws the links
const carriageRadius = 0.01; // m
// The world's colours and the surface's width in device pixels, as scene/world_picture.hpp has them.
const groundColour = "rgb(150, 130, 105)";
const pegColour = "rgb(128, 128, 128)";
const fluidColour = "rgba(40, 110, 230, 0.2)";
const surfaceColour = "rgb(20, 80, 200)";
const surfaceWidth = 2;
const framesPerPaint = 50;   // at most when paced, so a slow machine still paints now and then
const workPerPaint = 50;     // ms of frames at most, so a long rope still answers the pointer
// A frame that does not fit in workPerPaint is tried again in parts of a quarter, down to this;
// a part this short that still does not fit means the rope cannot run here without blocking.
const shortestSpan = frameSpan / 256;
// Ropes longer than this are drawn as a line through every so many joints: a box per link of a
// very long rope takes seconds to paint and shows nothing more at the window's scale.
const mostBoxes = 5000;
// Catching up to ?at=S runs at the rope's own pace, tens of simulated seconds per second for the
// shipped rope on this machine: an hour of simulated time is already minutes of waiting, and a
// longer one would only keep the page busy for a picture no one waits for.
const latestStart = 3600;    // s

createRopeModule().then((module) => {
  const web = {
    error: module.cwrap("web_error", "string", []),
    setParameter: module.cwrap("web_set_parameter", "number", ["string", "string"]),
    resetParameters: module.cwrap("web_reset_parameters", null, []),
    addMove: module.cwrap("web_add_move", null, ["number", "number", "number"]),
    start: module.cwrap("web_start", "number", []),
    frame: module.cwrap("web_frame", "number", []),
    setTarget: module.cwrap("web_set_target", null, ["number", "number"]),
    time: module.cwrap("web_time", "number", []),
    bodyCount: module.cwrap("web_body_count", "number", []),
    placements: module.cwrap("web_placements", "number", []),
    carriage: module.cwrap("web_carriage", "number", ["number"]),
    dimension: module.cwrap("web_dimension", "number", []),
    state: module.cwrap("web_state", "number", []),
    worldToPixel: module.cwrap("web_world_to_pixel", "number", ["number", "number", "number", "number"]),
    columnToWorldX: module.cwrap("web_column_to_world_x", "number", ["number", "number", "number"]),
    metresPerPixel: module.cwrap("web_metres_per_pixel", "number", ["number"]),
    rhsMicroseconds: module.cwrap("web_rhs_microseconds", "number", ["number"]),
    frameWithin: module.cwrap("web_frame_within", "number", ["number", "number"]),
    worldShape: module.cwrap("web_world_shape", "number", ["number", "number", "number"]),
    pegCount: module.cwrap("web_peg_count", "number", []),
    pegs: module.cwrap("web_pegs", "number", ["number", "number"]),
  };
  const doubles = (pointer, count) => module.HEAPF64.subarray(pointer / 8, pointer / 8 + count);
  const query = new URLSearchParams(location.search);
  const results = document.getElementById("results");

  if (query.has("golden")) {
    results.textContent = goldenRun(web, doubles);
    document.title = "golden run done";
    return;
  }
  if (query.has("measure")) {
    results.textContent = measure(web);
    console.log("measure: " + results.textContent.replace("\n", " "));
    document.title = "measure done";
    return;
  }
  interactive(web, doubles, query);
});

// The simulated time ?at= asks for, and why it was refused ("" when not).
function startTimeOf(query) {
  if (!query.has("at")) return [0, ""];
  const text = query.get("at");
  const time = Number(text);
  if (text.trim() !== "" && time >= 0 && time <= latestStart) return [time, ""];
  return [0, `'at' needs a time in seconds from 0 to ${latestStart}, got '${text}'`];
}

// The golden script: carriage 1 to -0.5 m at 0.5 s, carriage 2 to 0.9 m at 1.2 s, 2 s; every 10th
// frame's time and state as CSV, numbers written so that they read back exactly.
function goldenRun(web, doubles) {
  web.addMove(1, -0.5, 0.5);
  web.addMove(2, 0.9, 1.2);
  if (web.start() !== 0) return "error: " + web.error();
  const rows = [];
  const row = () => [web.time(), ...doubles(web.state(), web.dimension())].join(",");
  rows.push(row());
  for (let frame = 1; frame <= 200; ++frame) {
    if (web.frame() !== 0) return rows.join("\n") + "\nerror: " + web.error();
    if (frame % 10 === 0) rows.push(row());
  }
  return rows.join("\n");
}

// One right-hand side of the rope after 1 s of motion (the mean of many, as the native benchmark
// times it) and the real-time factor of unpaced frames over the next 2 s.
function measure(web) {
  if (web.start() !== 0) return "error: " + web.error();
  for (let frame = 0; frame < 100; ++frame) web.frame();
  web.rhsMicroseconds(2000);  // warm up
  const rhs = web.rhsMicroseconds(50000);
  const start = performance.now();
  for (let frame = 0; frame < 200; ++frame) web.frame();
  const seconds = (performance.now() - start) / 1000;
  return `rhs_microseconds=${rhs}\nreal_time_factor=${2 / seconds}`;
}

function interactive(web, doubles, query) {
  const unpaced = query.has("unpaced");
  const canvas = document.getElementById("canvas");
  const context = canvas.getContext("2d");
  const status = document.getElementById("status");
  const message = document.getElementById("message");
  const pauseButton = document.getElementById("pause");
  const panel = document.getElementById("panel");

  let running = true;
  let failed = false;
  let clockStart = 0;     // ms, wall clock at which simulated time `simStart` was due
  let simStart = 0;
  let factorWindow = { wall: performance.now(), sim: 0, factor: 1 };
  let dragged = 0;        // carriage the pointer drags, 0: none
  let [startTime, refusedAt] = startTimeOf(query);
  let catchUpTo = 0;      // s: simulated time to reach unpaced before the clock starts, 0: none
  let span = frameSpan;   // s: the part of a frame tried at once (shorter for a slow rope)
  let lastFrameMs = 0;    // wall time of the last frame (or part)
  let holdUntil = 0;      // ms: no frame is tried before then (a rope too slow to step here)
  let held = false;
  let paintMs = 0;        // wall time of the last paint
  let drawnEvery = 1;     // joints per point of the drawn line, 1: a box per link

  function restartClock() {
    clockStart = performance.now();
    simStart = web.time();
    factorWindow = { wall: clockStart, sim: simStart, factor: 1 };
  }

  function restart() {
    if (web.start() !== 0) {
      message.textContent = web.error();
      return false;
    }
    failed = false;
    message.textContent = "";
    catchUpTo = startTime;
    startTime = 0;  // a reset starts from the beginning
    span = frameSpan;
    lastFrameMs = 0;
    holdUntil = 0;
    held = false;
    restartClock();
    return true;
  }

  // The canvas in device pixels: the camera maps to those, so drawing is sharp at any ratio.
  function size() {
    const ratio = window.devicePixelRatio || 1;
    const width = Math.max(1, Math.round(canvas.clientWidth * ratio));
    const height = Math.max(1, Math.round(canvas.clientHeight * ratio));
    if (canvas.width !== width || canvas.height !== height) {
      canvas.width = width;
      canvas.height = height;
    }
    return [width, height];
  }

  function draw() {
    const [width, height] = size();
    const pixelsPerMetre = 1 / web.metresPerPixel(height);
    context.setTransform(1, 0, 0, 1, 0, 0);
    context.fillStyle = "#fff";
    context.fillRect(0, 0, width, height);
    drawWorld(width, height);
    const count = web.bodyCount();
    drawnEvery = Math.ceil(count / mostBoxes);
    if (drawnEvery > 1) {
      drawLine(count, pixelsPerMetre);
    } else {
      drawBoxes(count, pixelsPerMetre);
    }
    context.setTransform(1, 0, 0, 1, 0, 0);
    context.fillStyle = "#000";
    for (const carriage of [1, 2]) {
      const [column, row] = doubles(web.worldToPixel(width, height, web.carriage(carriage), 0), 2);
      context.beginPath();
      context.arc(column, row, carriageRadius * pixelsPerMetre, 0, 2 * Math.PI);
      context.fill();
    }
  }

  // The corners of one of the world's shapes (0 ground, 1 fluid, 2 the surface line) as a path;
  // false when the rope has none.
  function worldPath(shape, width, height) {
    const pointer = web.worldShape(shape, width, height);
    const count = doubles(pointer, 1)[0];
    if (count === 0) return false;
    const corners = doubles(pointer + 8, 2 * count);
    context.beginPath();
    for (let i = 0; i < corners.length; i += 2) context.lineTo(corners[i], corners[i + 1]);
    return true;
  }

  // The rope's world under it, as the window and the pictures draw it: the fluid's tint and
  // surface, then the ground and the pegs.
  function drawWorld(width, height) {
    if (worldPath(1, width, height)) {
      context.fillStyle = fluidColour;
      context.fill();
    }
    if (worldPath(2, width, height)) {
      context.strokeStyle = surfaceColour;
      context.lineWidth = surfaceWidth;
      context.stroke();
    }
    if (worldPath(0, width, height)) {
      context.fillStyle = groundColour;
      context.fill();
    }
    const count = web.pegCount();
    if (count === 0) return;
    const pegs = doubles(web.pegs(width, height), 3 * count);
    context.fillStyle = pegColour;
    context.beginPath();
    for (let k = 0; k < pegs.length; k += 3) {
      context.moveTo(pegs[k] + pegs[k + 2], pegs[k + 1]);
      context.arc(pegs[k], pegs[k + 1], pegs[k + 2], 0, 2 * Math.PI);
    }
    context.fill();
  }

  function drawBoxes(count, pixelsPerMetre) {
    const [width, height] = [canvas.width, canvas.height];
    const bodies = doubles(web.placements(), 4 * count).slice();
    context.fillStyle = "#f00";
    for (let k = 0; k < count; ++k) {
      const [x, y, angle, length] = bodies.subarray(4 * k, 4 * k + 4);
      const [column, row] = doubles(web.worldToPixel(width, height, x, y), 2);
      // A box along the body's own x axis from its joint; rows grow downwards, so angles flip.
      context.setTransform(1, 0, 0, 1, column, row);
      context.rotate(-angle);
      context.fillRect(0, -0.5 * boxThickness * pixelsPerMetre, length * pixelsPerMetre,
                       boxThickness * pixelsPerMetre);
    }
  }

  // The rope as a line of the links' thickness through every drawnEvery-th joint and the far end.
  function drawLine(count, pixelsPerMetre) {
    const [width, height] = [canvas.width, canvas.height];
    const bodies = doubles(web.placements(), 4 * count);
    const points = [];
    for (let k = 0; k < count; k += drawnEvery) points.push(bodies[4 * k], bodies[4 * k + 1]);
    const [x, y, angle, length] = bodies.slice(4 * (count - 1), 4 * count);
    points.push(x + length * Math.cos(angle), y + length * Math.sin(angle));
    context.strokeStyle = "#f00";
    context.lineWidth = boxThickness * pixelsPerMetre;
    context.beginPath();
    for (let i = 0; i < points.length; i += 2) {
      const [column, row] = doubles(web.worldToPixel(width, height, points[i], points[i + 1]), 2);
      context.lineTo(column, row);
    }
    context.stroke();
  }

  // Frames (or parts of one) until the simulation is due or workPerPaint ms have gone. A frame
  // that runs out of budget is undone by the library; tried alone, it is tried again in shorter
  // parts, and when even the shortest part does not fit, the rope is held for a while so that
  // the page spends most of its time answering.
  function advance(now) {
    if (!running || failed || performance.now() < holdUntil) return;
    const start = performance.now();
    const spent = () => performance.now() - start;
    const catching = catchUpTo > 0;
    const budget = unpaced ? 14 : workPerPaint;
    const due = catching ? catchUpTo : simStart + (now - clockStart) / 1000;
    const behind = () => unpaced || web.time() + 0.5 * span <= due;
    let frames = 0;
    while (behind()) {
      const left = budget - spent();
      if (frames > 0 && (left <= 0 || left < lastFrameMs)) break;
      if (!unpaced && !catching && frames >= framesPerPaint) break;
      const begun = performance.now();
      const end = web.frameWithin(frames > 0 ? left : budget, span);
      if (end === 1) {
        failed = true;
        break;
      }
      if (end === 2) {
        if (frames > 0) break;  // the rest of the budget was too short; next paint
        if (span > shortestSpan) {
          span = Math.max(shortestSpan, span / 4);
        } else {
          held = true;
          holdUntil = performance.now() + Math.max(1000, 20 * spent());
        }
        break;
      }
      held = false;
      lastFrameMs = performance.now() - begun;
      ++frames;
      if (span < frameSpan && lastFrameMs < budget / 8) span = Math.min(frameSpan, 2 * span);
    }
    if (failed) {
      message.textContent = web.error();
    } else if (catching && web.time() + 0.5 * span > catchUpTo) {
      catchUpTo = 0;
      restartClock();
    } else if (!catching && !unpaced && behind()) {
      // Still behind after a paint's worth of work: the machine cannot keep up, so the clock
      // restarts from here rather than racing to catch up.
      clockStart = now;
      simStart = web.time();
    }
  }

  function report(now) {
    if (now - factorWindow.wall >= 1000) {
      factorWindow.factor = (web.time() - factorWindow.sim) / ((now - factorWindow.wall) / 1000);
      factorWindow.wall = now;
      factorWindow.sim = web.time();
    }
    const time = `t = ${web.time().toFixed(2)} s`;
    // A very long rope is slow to paint, whatever the simulation does.
    const drawn = drawnEvery > 1
      ? `; ${web.bodyCount()} bodies are slow to paint: drawn as a line through one joint in ` +
        `${drawnEvery} (${Math.round(paintMs)} ms a paint)`
      : "";
    if (!running) {
      status.textContent = time + ", paused" + drawn;
      return;
    }
    const tooSlow =
      " (this machine cannot keep up): the rope is too large or stiff to run in real time";
    if (held) {
      status.textContent = `${time}, held${tooSlow}: a step takes more than ${workPerPaint} ms of ` +
        `work here; trying again now and then${drawn}`;
      return;
    }
    if (catchUpTo > 0) {
      status.textContent = `${time}, catching up to ${catchUpTo.toFixed(2)} s${drawn}`;
      return;
    }
    const factor = factorWindow.factor;
    let slow = "";
    if (!failed && !unpaced && span < frameSpan) slow = tooSlow;
    else if (!failed && !unpaced && factor < 0.95) slow = " (this machine cannot keep up)";
    status.textContent = `${time}, real-time factor ${factor.toFixed(2)}${slow}${drawn}`;
  }

  function loop(now) {
    advance(now);
    const painting = performance.now();
    draw();
    paintMs = performance.now() - painting;
    report(now);
    requestAnimationFrame(loop);
  }

  pauseButton.addEventListener("click", () => {
    running = !running;
    pauseButton.textContent = running ? "Pause" : "Resume";
    if (running) {
      holdUntil = 0;
      restartClock();
    }
  });
  document.getElementById("reset").addEventListener("click", restart);
  // The panel's values in effect: a refused set goes back to them, so Reset keeps building the
  // rope that runs.
  const inputs = [...panel.querySelectorAll("input")];
  // The panel's keys may come with the address too (?links=40), to share a rope as a link; a value
  // the model file refuses keeps the panel's own and says why.
  const refusals = refusedAt ? [refusedAt] : [];
  // An optional key (the ground's height, the fluid's surface, the pegs) left empty is absent.
  const absent = (input, text) => text === "" && input.dataset.optional !== undefined;
  for (const input of inputs) {
    const text = query.get(input.name);
    if (text === null) continue;
    if (absent(input, text)) {
      input.value = text;
      continue;
    }
    web.resetParameters();
    if (web.setParameter(input.name, text) === 0) input.value = text;
    else refusals.push(web.error());
  }
  let inEffect = inputs.map((input) => input.value);
  function setAll(values) {
    web.resetParameters();
    for (let i = 0; i < inputs.length; ++i)
      if (!absent(inputs[i], values[i]) && web.setParameter(inputs[i].name, values[i]) !== 0)
        return web.error();
    return "";
  }
  panel.addEventListener("submit", (event) => {
    event.preventDefault();
    const values = inputs.map((input) => input.value);
    const refused = setAll(values);
    if (refused) {
      setAll(inEffect);
      message.textContent = refused;
      return;
    }
    if (restart()) inEffect = values;
    else setAll(inEffect);
  });

  // The mouse as in the window: the left button drags carriage 1's target, the right carriage
  // 2's; a touch drags the carriage nearest to it.
  function columnOf(event) {
    const box = canvas.getBoundingClientRect();
    return Math.round((event.clientX - box.left) * (canvas.width / box.width));
  }
  function dragTo(event) {
    web.setTarget(dragged, web.columnToWorldX(canvas.width, canvas.height, columnOf(event)));
  }
  canvas.addEventListener("contextmenu", (event) => event.preventDefault());
  canvas.addEventListener("pointerdown", (event) => {
    if (event.pointerType === "touch") {
      const x = web.columnToWorldX(canvas.width, canvas.height, columnOf(event));
      dragged = Math.abs(x - web.carriage(1)) <= Math.abs(x - web.carriage(2)) ? 1 : 2;
    } else if (event.button === 0 || event.button === 2) {
      dragged = event.button === 0 ? 1 : 2;
    } else {
      return;
    }
    canvas.setPointerCapture(event.pointerId);
    if (event.pointerType === "touch") dragTo(event);
  });
  canvas.addEventListener("pointermove", (event) => { if (dragged) dragTo(event); });
  for (const end of ["pointerup", "pointercancel"])
    canvas.addEventListener(end, () => { dragged = 0; });

  // What the page draws from, for scripts and tests that check the picture against the camera:
  // where a point of the world lands on the canvas, and the rope as simulated.
  window.ropePage = {
    time: () => web.time(),
    bodyCount: () => web.bodyCount(),
    carriage: (which) => web.carriage(which),
    pixelOf: (x, y) => [...doubles(web.worldToPixel(canvas.width, canvas.height, x, y), 2)],
    pixelsPerMetre: () => 1 / web.metresPerPixel(canvas.height),
    // Both ends of every body, in metres.
    bodyEnds: () => {
      const bodies = doubles(web.placements(), 4 * web.bodyCount());
      const ends = [];
      for (let k = 0; k < bodies.length; k += 4) {
        const [x, y, angle, length] = bodies.subarray(k, k + 4);
        ends.push([x, y], [x + length * Math.cos(angle), y + length * Math.sin(angle)]);
      }
      return ends;
    },
  };

  // Values each fine alone may still not make a rope together (a list of angles for another link
  // count): then the page runs the shipped rope.
  if (setAll(inEffect) || !restart()) {
    refusals.push(web.error());
    for (const input of inputs) input.value = input.defaultValue;
    inEffect = inputs.map((input) => input.value);
    setAll(inEffect);
    restart();
  }
  message.textContent = refusals.join("; ");
  requestAnimationFrame(loop);
}
