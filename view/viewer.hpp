// The window: set-up with the fixed OpenGL state, drawing, and the toolkit callbacks.
#pragma once

// glutInit with main's arguments, a 700 x 500 double-buffered, depth-tested window titled
// argv[0], then the fixed lighting and material state.
void open_window(int& argc, char** argv);
// Display, reshape, idle, motion, keyboard and mouse, in that order.
void register_callbacks();

void on_display();
void on_reshape(int width, int height);
void on_idle();
void on_mouse(int button, int state, int x, int y);
void on_motion(int x, int y);
void on_keyboard(unsigned char key, int x, int y);
