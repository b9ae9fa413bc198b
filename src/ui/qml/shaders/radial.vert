#version 440
// A corner of an annulus' strip; its place relative to the centre goes on to the fragments.
layout(location = 0) in vec4 position;
layout(location = 1) in vec2 fromCentre;  // points
layout(location = 0) out vec2 vFromCentre;
layout(std140, binding = 0) uniform buf {
    mat4 qt_Matrix;
    float qt_Opacity;
    vec4 color0;
    vec4 color1;
    vec4 color2;
    vec4 shape;
};

void main() {
    vFromCentre = fromCentre;
    gl_Position = qt_Matrix * position;
}
