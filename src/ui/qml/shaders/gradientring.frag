#version 440
// A circle's outline stroked with a linear gradient from its frame's top-left corner to its
// bottom-right one, through three evenly spaced stops (premultiplied); edges smoothed over one
// pixel.
layout(location = 0) in vec2 vFromCentre;
layout(location = 0) out vec4 fragColor;
layout(std140, binding = 0) uniform buf {
    mat4 qt_Matrix;
    float qt_Opacity;
    vec4 color0;
    vec4 color1;
    vec4 color2;
    vec4 shape;  // diameter, stroke width, one device pixel (points); unused
};

void main() {
    float r = length(vFromCentre);
    float inner = shape.x * 0.5 - shape.y * 0.5;
    float outer = shape.x * 0.5 + shape.y * 0.5;
    float h = shape.z * 0.5;
    float cover = smoothstep(inner - h, inner + h, r) * (1.0 - smoothstep(outer - h, outer + h, r));
    vec2 q = vFromCentre / shape.x + vec2(0.5);
    float t = clamp((q.x + q.y) * 0.5, 0.0, 1.0);
    vec4 c = t < 0.5 ? mix(color0, color1, t * 2.0) : mix(color1, color2, (t - 0.5) * 2.0);
    fragColor = c * cover * qt_Opacity;
}
