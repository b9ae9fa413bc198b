#version 440
// A corner of a capsule's quad; its place in the capsule's frame goes on to the fragments.
layout(location = 0) in vec4 position;
layout(location = 1) in vec4 capsule;  // along, across, half length, radius (points)
layout(location = 2) in vec4 color;    // premultiplied
layout(location = 0) out vec4 vCapsule;
layout(location = 1) out vec4 vColor;
layout(std140, binding = 0) uniform buf {
    mat4 qt_Matrix;
    float qt_Opacity;
    float pixel;  // one device pixel in points
};

void main() {
    vCapsule = capsule;
    vColor = color * qt_Opacity;
    gl_Position = qt_Matrix * position;
}
