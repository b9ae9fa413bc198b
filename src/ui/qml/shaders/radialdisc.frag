#version 440
// A disc filled with a radial gradient of three stops (radii in points), clear beyond the last;
// colours (premultiplied) blend so that fading to clear does not darken.
layout(location = 0) in vec2 vFromCentre;
layout(location = 0) out vec4 fragColor;
layout(std140, binding = 0) uniform buf {
    mat4 qt_Matrix;
    float qt_Opacity;
    vec4 color0;
    vec4 color1;
    vec4 color2;
    vec4 shape;  // the stops' radii: inner, middle, outer; unused
};

void main() {
    float r = length(vFromCentre);
    vec4 c;
    if (r <= shape.x) {
        c = color0;
    } else if (r <= shape.y) {
        c = mix(color0, color1, (r - shape.x) / max(shape.y - shape.x, 1e-4));
    } else if (r <= shape.z) {
        c = mix(color1, color2, (r - shape.y) / max(shape.z - shape.y, 1e-4));
    } else {
        c = vec4(0.0);
    }
    fragColor = c * qt_Opacity;
}
