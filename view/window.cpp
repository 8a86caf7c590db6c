#include <GL/glut.h>

#include <cstdlib>
#include <iostream>

#include "stepping/simulation.hpp"
#include "view/controls.hpp"
#include "view/frame_report.hpp"
#include "view/viewer.hpp"

static_assert(left_button == GLUT_LEFT_BUTTON && right_button == GLUT_RIGHT_BUTTON);

// Grey material, white clear colour, two directional lights (w = 0) from opposite sides.
// Set once, in this order.
static void set_fixed_gl_state() {
  const GLfloat material_diffuse[] = {0.2f, 0.2f, 0.2f, 1.0f};
  const GLfloat material_specular[] = {0.2f, 0.2f, 0.2f, 1.0f};
  const GLfloat light0_position[] = {6.0f, 8.0f, -5.0f, 0.0f};
  const GLfloat light1_position[] = {-8.0f, -4.0f, 5.0f, 0.0f};
  const GLfloat light_diffuse[] = {0.5f, 0.5f, 0.5f, 1.0f};
  const GLfloat light_ambient[] = {0.4f, 0.4f, 0.4f, 1.0f};

  glEnable(GL_COLOR_MATERIAL);
  glColorMaterial(GL_FRONT_AND_BACK, GL_AMBIENT_AND_DIFFUSE);
  glClearColor(1.0f, 1.0f, 1.0f, 0.0f);
  glShadeModel(GL_SMOOTH);
  glEnable(GL_DEPTH_TEST);
  glMaterialfv(GL_FRONT, GL_DIFFUSE, material_diffuse);
  glMaterialfv(GL_FRONT, GL_SPECULAR, material_specular);
  glMaterialf(GL_FRONT, GL_SHININESS, 0.95f);
  glLightfv(GL_LIGHT0, GL_POSITION, light0_position);
  glLightfv(GL_LIGHT0, GL_DIFFUSE, light_diffuse);
  glLightfv(GL_LIGHT0, GL_AMBIENT, light_ambient);
  glEnable(GL_LIGHT0);
  glLightfv(GL_LIGHT1, GL_POSITION, light1_position);
  glLightfv(GL_LIGHT1, GL_DIFFUSE, light_diffuse);
  glLightfv(GL_LIGHT1, GL_AMBIENT, light_ambient);
  glEnable(GL_LIGHT1);
  glEnable(GL_LIGHTING);
}

void open_window(int& argc, char** argv) {
  glutInit(&argc, argv);
  glutInitDisplayMode(GLUT_RGB | GLUT_DOUBLE | GLUT_DEPTH);
  glutInitWindowSize(view.window_width, view.window_height);
  glutInitWindowPosition(0, 0);
  glutCreateWindow(argv[0]);
  set_fixed_gl_state();
}

void register_callbacks() {
  glutDisplayFunc(on_display);
  glutReshapeFunc(on_reshape);
  glutIdleFunc(on_idle);
  glutMotionFunc(on_motion);
  glutKeyboardFunc(on_keyboard);
  glutMouseFunc(on_mouse);
}

// One frame of simulated time, then a redraw when the frame reported. A diverged state or a
// failure of the core ends the program: there is nothing sensible left to show.
void on_idle() {
  Simulation& sim = *view.simulation;
  FrameEnd end = FrameEnd::reached;
  const FrameOutcome outcome = window_frame(sim, view.clock, std::cout, &end);
  if (outcome == FrameOutcome::stopped) {
    std::cout << stop_message(sim, end) << std::endl;
    std::exit(1);
  }
  if (outcome == FrameOutcome::report_due) glutPostRedisplay();
}

void on_mouse(int button, int, int, int) { select_carriage(button); }

void on_motion(int x, int) { drag_carriage_target(x); }

void on_keyboard(unsigned char key, int, int) { key_command(key, std::cout); }
