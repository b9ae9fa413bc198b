#version 440
// The eye: the part of its picture given by `extent` (texture coordinates' span across and down,
// centred; beyond 0 ... 1 clear), tinted by saturation, brightness and contrast and clipped to the
// circle inscribed in the item with a one-pixel soft edge.
layout(location = 0) in vec2 qt_TexCoord0;
layout(location = 0) out vec4 fragColor;
layout(std140, binding = 0) uniform buf {
    mat4 qt_Matrix;
    float qt_Opacity;
    float saturation;
    float brightness;
    float contrast;
    float edge;  // the soft edge's width as a fraction of the radius
    vec2 extent;
};
layout(binding = 1) uniform sampler2D source;

void main() {
    vec2 uv = vec2(0.5) + (qt_TexCoord0 - vec2(0.5)) * extent;
    bool inside = all(greaterThanEqual(uv, vec2(0.0))) && all(lessThanEqual(uv, vec2(1.0)));
    vec4 c = inside ? texture(source, uv) : vec4(0.0);
    vec3 rgb = c.a > 0.0 ? c.rgb / c.a : vec3(0.0);
    float luma = dot(rgb, vec3(0.2126, 0.7152, 0.0722));
    rgb = mix(vec3(luma), rgb, saturation);
    rgb = rgb + vec3(brightness);
    rgb = (rgb - vec3(0.5)) * contrast + vec3(0.5);
    rgb = clamp(rgb, 0.0, 1.0);
    float d = length(qt_TexCoord0 - vec2(0.5)) * 2.0;
    float mask = 1.0 - smoothstep(1.0 - edge, 1.0, d);
    float a = c.a * mask * qt_Opacity;
    fragColor = vec4(rgb * a, a);
}
