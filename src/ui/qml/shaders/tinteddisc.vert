#version 440
// A corner of the eye's disc; its texture coordinates go on to the fragments.
layout(location = 0) in vec4 position;
layout(location = 1) in vec2 texCoord;
layout(location = 0) out vec2 qt_TexCoord0;
layout(std140, binding = 0) uniform buf {
    mat4 qt_Matrix;
    float qt_Opacity;
    float saturation;
    float brightness;
    float contrast;
    float edge;
    vec2 extent;
};

void main() {
    qt_TexCoord0 = texCoord;
    gl_Position = qt_Matrix * position;
}
