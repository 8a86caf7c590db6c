#!/usr/bin/env bash
# What the window shows once the rope has settled: a white background, red rope pixels along the
# chain whose coordinates key a dumps right after the screenshot, and the two black carriages
# on y = 0 at x = -0.2 and 0.6. Expected pixel positions come from the camera's projection.
# Usage: picture.sh ROPE WORK_DIR
source "$(dirname "$0")/harness.sh"

rope=$1
prepare_work_dir "$2"

start_display
start_rope "$(dirname "$rope")" "$rope"
find_window "$rope"
# The sag settles within about 4 s of simulated time; after that the chain moves well under a
# pixel (0.3 mm per pixel) between the screenshot and the dump.
wait_for_sim_time 6
screenshot "$work_dir/window.png"
press_key a
wait_for_exit
[ "$exit_status" -eq 0 ] || fail "key a: exit status $exit_status"
dumped_coordinates > "$work_dir/q"
pixel_table "$work_dir/window.png" > "$work_dir/pixels"

awk "$camera_awk"'
  # World point under the centre of pixel (c, r): the projection above, inverted.
  function world_x(c) { return ((c + 0.5) / 350 - 1) * 2.0 * tan(3.14159265358979 / 8) * 1.4 }
  function world_y(r) { return -0.3 + (1 - (r + 0.5) / 250) * 2.0 * tan(3.14159265358979 / 8) }
  function segment_distance(px, py, ax, ay, bx, by,   dx, dy, s) {
    dx = bx - ax; dy = by - ay
    s = ((px - ax) * dx + (py - ay) * dy) / (dx * dx + dy * dy)
    if (s < 0) s = 0
    if (s > 1) s = 1
    return sqrt((px - ax - s * dx) ^ 2 + (py - ay - s * dy) ^ 2)
  }
  # The dump: base x, y, angle, then the joint angles of links 1 to 22. Body origins 0 to 23
  # follow link by link, 0.04 m along each absolute angle.
  FILENAME ~ /q$/ { q[n_q++] = $1; next }
  FNR == 1 && !chain_built {
    if (n_q != 25) { print "dump has " n_q " lines"; failed = 1 }
    ox[0] = q[0]; oy[0] = q[1]; angle = q[2]
    for (k = 0; k <= 22; k++) {
      if (k > 0) angle += q[k + 2]
      mx[k] = ox[k] + 0.02 * cos(angle); my[k] = oy[k] + 0.02 * sin(angle)
      ox[k + 1] = ox[k] + 0.04 * cos(angle); oy[k + 1] = oy[k] + 0.04 * sin(angle)
    }
    carriage_c[1] = column(-0.2); carriage_c[2] = column(0.6); carriage_r = row(0)
    chain_built = 1
  }
  {
    c = $1; r = $2; red = $3; green = $4; blue = $5
    pixels++
    if (red == 255 && green == 255 && blue == 255) white++
    if ((c == 0 || c == 699) && (r == 0 || r == 499) && !(red == 255 && green == 255 && blue == 255))
      { print "corner " c "," r " is not white"; failed = 1 }
    if (red >= 128 && green < 77 && blue < 77) {
      reds++
      x = world_x(c); y = world_y(r)
      # Box half-thickness 0.005 m, half a pixel diagonal 0.0023 m, and slack for motion.
      near = 0
      for (k = 0; k < 23 && !near; k++) if (segment_distance(x, y, ox[k], oy[k], ox[k + 1], oy[k + 1]) < 0.012) near = 1
      # Links 23 and 24, 0.08 m together, whose angles the dump leaves out.
      if (!near && sqrt((x - ox[23]) ^ 2 + (y - oy[23]) ^ 2) < 0.09) near = 1
      if (!near) { stray_red++; if (stray_red <= 5) print "red pixel away from the rope at " c "," r }
      for (k = 0; k <= 22; k++) if ((c + 0.5 - column(mx[k])) ^ 2 + (r + 0.5 - row(my[k])) ^ 2 <= 9) covered[k] = 1
    }
    if (red < 90 && green < 90 && blue < 90) {
      if ((c + 0.5 - carriage_c[1]) ^ 2 + (r + 0.5 - carriage_r) ^ 2 <= 36) j = 1
      else if ((c + 0.5 - carriage_c[2]) ^ 2 + (r + 0.5 - carriage_r) ^ 2 <= 36) j = 2
      else { stray_dark++; if (stray_dark <= 5) print "dark pixel away from the carriages at " c "," r; next }
      dark[j]++; dark_c[j] += c + 0.5; dark_r[j] += r + 0.5
    }
  }
  END {
    if (pixels != 700 * 500) { print pixels " pixels, not 700 x 500"; failed = 1 }
    # The rope (about 1.0 m x 0.01 m, some 900 pixels) and two small spheres cover under 1 %.
    if (white < 0.99 * pixels) { print "only " white " white pixels"; failed = 1 }
    if (stray_red + stray_dark > 0) failed = 1
    for (k = 0; k <= 22; k++) if (!covered[k]) { print "no red pixel at body " k; failed = 1 }
    # A sphere of radius 0.01 m is a disc of about 3 px radius, some 28 pixels; its centre must
    # sit on the projection of (x, 0) within a pixel.
    for (j = 1; j <= 2; j++) {
      if (dark[j] < 12) { print "carriage " j ": " dark[j] + 0 " dark pixels"; failed = 1; continue }
      dc = dark_c[j] / dark[j] - carriage_c[j]; dr = dark_r[j] / dark[j] - carriage_r
      if (dc > 1 || dc < -1 || dr > 1 || dr < -1) { print "carriage " j " off by " dc ", " dr " px"; failed = 1 }
    }
    printf "%d red pixels, %d and %d dark pixels at the carriages, %.2f%% white\n", reds, dark[1], dark[2], 100 * white / pixels
    exit failed
  }' "$work_dir/q" "$work_dir/pixels" | tee "$work_dir/picture-check"
[ "${PIPESTATUS[0]}" -eq 0 ] || fail "picture does not show the rope and carriages where they are"
