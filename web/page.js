// The page: draws the rope the module simulates, paces it to the wall clock and passes drags on
// as carriage targets. Query parameters: ?golden runs the golden script (two target moves, 2 s)
// and writes the states into #results; ?measure writes the speed figures there; ?unpaced runs as
// many frames as the browser allows, for the real-time factor; ?at=S starts the page at S seconds
// of simulated time (a picture of a given moment); the panel's keys (?links=40) set the rope.
"use strict";

const frameSpan = 0.01;      // s of simulated time per frame (the library's)
const boxThickness = 0.01;   // m, as the window draws the links
const carriageRadius = 0.01; // m
const framesPerPaint = 50;   // at most, so a slow machine still paints now and then
const workPerPaint = 50;     // ms of frames at most, so a long rope still answers the pointer

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
  interactive(web, doubles, query, Number(query.get("at")) || 0);
});

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

function interactive(web, doubles, query, startTime) {
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

  function restart() {
    if (web.start() !== 0) {
      message.textContent = web.error();
      return false;
    }
    failed = false;
    message.textContent = "";
    while (web.time() + 0.5 * frameSpan <= startTime && !failed) failed = web.frame() !== 0;
    startTime = 0;  // a reset starts from the beginning
    if (failed) message.textContent = web.error();
    clockStart = performance.now();
    simStart = web.time();
    factorWindow = { wall: clockStart, sim: simStart, factor: 1 };
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
    const count = web.bodyCount();
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
    context.setTransform(1, 0, 0, 1, 0, 0);
    context.fillStyle = "#000";
    for (const carriage of [1, 2]) {
      const [column, row] = doubles(web.worldToPixel(width, height, web.carriage(carriage), 0), 2);
      context.beginPath();
      context.arc(column, row, carriageRadius * pixelsPerMetre, 0, 2 * Math.PI);
      context.fill();
    }
  }

  function advance(now) {
    if (!running || failed) return;
    let frames = 0;
    if (unpaced) {
      while (performance.now() - now < 14 && frames < 100000) {
        if (web.frame() !== 0) { failed = true; break; }
        ++frames;
      }
    } else {
      const due = simStart + (now - clockStart) / 1000;
      const behind = () => web.time() + 0.5 * frameSpan <= due;
      while (behind() && frames < framesPerPaint && performance.now() - now < workPerPaint) {
        if (web.frame() !== 0) { failed = true; break; }
        ++frames;
      }
      // Still behind after a paint's worth of work: the machine cannot keep up, so the clock
      // restarts from here rather than racing to catch up.
      if (!failed && behind()) {
        clockStart = now;
        simStart = web.time();
      }
    }
    if (failed) message.textContent = web.error();
  }

  function report(now) {
    if (now - factorWindow.wall >= 1000) {
      factorWindow.factor = (web.time() - factorWindow.sim) / ((now - factorWindow.wall) / 1000);
      factorWindow.wall = now;
      factorWindow.sim = web.time();
    }
    const time = `t = ${web.time().toFixed(2)} s`;
    if (!running) {
      status.textContent = time + ", paused";
      return;
    }
    const factor = factorWindow.factor;
    const slow = !failed && !unpaced && factor < 0.95 ? " (this machine cannot keep up)" : "";
    status.textContent = `${time}, real-time factor ${factor.toFixed(2)}${slow}`;
  }

  function loop(now) {
    advance(now);
    draw();
    report(now);
    requestAnimationFrame(loop);
  }

  pauseButton.addEventListener("click", () => {
    running = !running;
    pauseButton.textContent = running ? "Pause" : "Resume";
    if (running) {
      clockStart = performance.now();
      simStart = web.time();
      factorWindow = { wall: clockStart, sim: simStart, factor: 1 };
    }
  });
  document.getElementById("reset").addEventListener("click", restart);
  // The panel's values in effect: a refused set goes back to them, so Reset keeps building the
  // rope that runs.
  const inputs = [...panel.querySelectorAll("input")];
  // The panel's keys may come with the address too (?links=40), to share a rope as a link.
  for (const input of inputs) if (query.has(input.name)) input.value = query.get(input.name);
  let inEffect = inputs.map((input) => input.value);
  function setAll(values) {
    web.resetParameters();
    for (let i = 0; i < inputs.length; ++i)
      if (web.setParameter(inputs[i].name, values[i]) !== 0) return web.error();
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

  const refused = setAll(inEffect);
  if (refused) {
    message.textContent = refused;
    setAll(inputs.map((input) => input.defaultValue));
  }
  if (restart()) requestAnimationFrame(loop);
}
