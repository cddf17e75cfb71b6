// Line charts in SVG: series of points, each optionally with a 95% band.

import {element, svg} from "./common.js";

export const PALETTE = ["#2f6fde", "#e07b00", "#2e9b4e", "#8a4fd3", "#d6402f", "#7a7a7a", "#00a3b4", "#b8860b",
                        "#c2185b", "#5d4037"];

// Round tick values, whole numbers only where `whole` (generations).
function niceTicks(low, high, count = 5, whole = false) {
  const raw = Math.max((high - low) / count, whole ? 1 : 0);
  const power = Math.pow(10, Math.floor(Math.log10(raw)));
  const step = [1, 2, 2.5, 5, 10].map((m) => m * power).find((s) => s >= raw * (1 - 1e-9));
  const ticks = [];
  for (let v = Math.ceil(low / step) * step; v <= high + step * 1e-9; v += step) ticks.push(+v.toFixed(10));
  return {ticks, step};
}

// Decimals that show every tick of an axis stepping by `step` (0.25: two).
function decimals(step) {
  const power = Math.floor(Math.log10(step) + 1e-9);
  return Math.max(0, -power) + (Math.abs(step / Math.pow(10, power) - 2.5) < 1e-9 ? 1 : 0);
}

// A value shown to the precision its axis steps by (or three figures).
function format(value, step = null) {
  if (Math.abs(value) >= 10000) return (value / 1000).toFixed(0) + "k";
  if (step !== null) return value.toFixed(decimals(step));
  if (Math.abs(value) >= 100 || value === Math.round(value)) return value.toFixed(0);
  return value.toPrecision(3).replace(/\.?0+$/, "");
}

// A percentage tick, to the precision its axis steps by.
function percentText(value, step) {
  return `${(100 * value).toFixed(Math.max(0, decimals(100 * step)))}%`;
}

// series: [{name, colour, points: [{x, y, low, high}], dashed}]; points with
// a y that is not a finite number are left out. references: [{name, y, low,
// high}], level lines across the chart (with a band where low and high are
// given) that the series are read against.
export function lineChart(parent, {title, xLabel, yLabel, series, yMin = null, yMax = null, percent = false,
                                  wholeX = false, references = []}) {
  const box = element("figure", {class: "chart"}, parent);
  element("figcaption", {style: "max-width: 420px"}, box, title);
  const [width, height] = [420, 240];
  const margin = {left: 56, right: 12, top: 10, bottom: 40};
  const chart = svg("svg", {viewBox: `0 0 ${width} ${height}`, width, height}, box);
  const shown = series.map((s) => ({...s, points: s.points.filter((p) => Number.isFinite(p.y))}))
    .filter((s) => s.points.length);
  const all = shown.flatMap((s) => s.points);
  if (!all.length) {
    svg("text", {x: width / 2, y: height / 2, class: "empty"}, chart).textContent = "nothing recorded yet";
    return box;
  }
  const levels = references.filter((r) => Number.isFinite(r.y));
  const xs = all.map((p) => p.x);
  const ys = all.flatMap((p) => [p.y, p.low, p.high]).concat(levels.flatMap((r) => [r.y, r.low, r.high]))
    .filter(Number.isFinite);
  let [x0, x1] = [Math.min(...xs), Math.max(...xs)];
  if (x0 === x1) [x0, x1] = [x0 - 1, x1 + 1];
  let y0 = yMin ?? Math.min(...ys), y1 = yMax ?? Math.max(...ys);
  if (y0 === y1) [y0, y1] = [y0 - 1, y1 + 1];
  const pad = (y1 - y0) * 0.05;
  if (yMin === null) y0 -= pad;
  if (yMax === null) y1 += pad;
  const X = (x) => margin.left + (x - x0) / (x1 - x0) * (width - margin.left - margin.right);
  const Y = (y) => height - margin.bottom - (y - y0) / (y1 - y0) * (height - margin.top - margin.bottom);
  const axes = svg("g", {class: "axes"}, chart);
  const yTicks = niceTicks(y0, y1);
  for (const tick of yTicks.ticks) {
    svg("line", {x1: margin.left, x2: width - margin.right, y1: Y(tick), y2: Y(tick), class: "grid",
                 "data-value": tick}, axes);
    svg("text", {x: margin.left - 6, y: Y(tick) + 4, class: "tick y"}, axes).textContent =
      percent ? percentText(tick, yTicks.step) : format(tick, yTicks.step);
  }
  const xTicks = niceTicks(x0, x1, 6, wholeX);
  for (const tick of xTicks.ticks) {
    svg("line", {x1: X(tick), x2: X(tick), y1: height - margin.bottom, y2: height - margin.bottom + 4}, axes);
    const label = svg("text", {x: X(tick), y: height - margin.bottom + 16, class: "tick x"}, axes);
    label.textContent = format(tick, xTicks.step);
  }
  svg("text", {x: (margin.left + width - margin.right) / 2, y: height - 6, class: "label"}, axes).textContent = xLabel;
  svg("text", {x: 12, y: (margin.top + height - margin.bottom) / 2, class: "label",
               transform: `rotate(-90 12 ${(margin.top + height - margin.bottom) / 2})`}, axes).textContent = yLabel;
  const legend = element("div", {class: "legend"}, box);
  for (const r of levels) {
    const group = svg("g", {class: "reference", "data-series": r.name, "data-y": r.y}, chart);
    if (Number.isFinite(r.low) && Number.isFinite(r.high)) {
      svg("rect", {x: margin.left, width: width - margin.left - margin.right, y: Y(r.high),
                   height: Math.max(0, Y(r.low) - Y(r.high)), fill: "#555", "fill-opacity": 0.08}, group);
    }
    svg("line", {x1: margin.left, x2: width - margin.right, y1: Y(r.y), y2: Y(r.y), stroke: "#555",
                 "stroke-width": 1.2, "stroke-dasharray": "2 3"}, group);
    const item = element("span", {class: "legend-item"}, legend);
    element("span", {class: "swatch", style: "height:0;border-top:2px dotted #555"}, item);
    item.append(r.name);
  }
  shown.forEach((s, index) => {
    const colour = s.colour || PALETTE[index % PALETTE.length];
    const group = svg("g", {class: "series", "data-series": s.name, "data-points": s.points.length}, chart);
    const banded = s.points.filter((p) => Number.isFinite(p.low) && Number.isFinite(p.high));
    if (banded.length > 1) {
      const outline = banded.map((p) => `${X(p.x)},${Y(p.high)}`)
        .concat(banded.slice().reverse().map((p) => `${X(p.x)},${Y(p.low)}`));
      svg("polygon", {points: outline.join(" "), fill: colour, "fill-opacity": 0.15, stroke: "none"}, group);
    } else {
      for (const p of banded) svg("line", {x1: X(p.x), x2: X(p.x), y1: Y(p.low), y2: Y(p.high), stroke: colour}, group);
    }
    svg("polyline", {points: s.points.map((p) => `${X(p.x)},${Y(p.y)}`).join(" "), fill: "none", stroke: colour,
                     "stroke-width": 1.8, "stroke-dasharray": s.dashed ? "5 3" : "none"}, group);
    if (s.points.length <= 80) {
      for (const p of s.points) {
        const dot = svg("circle", {cx: X(p.x), cy: Y(p.y), r: 2.6, fill: colour}, group);
        const band = Number.isFinite(p.low) ? ` [${format(p.low)}, ${format(p.high)}]` : "";
        svg("title", {}, dot).textContent = `${s.name}: ${format(p.x)} → ${format(p.y)}${band}`;
      }
    }
    const item = element("span", {class: "legend-item"}, legend);
    element("span", {class: "swatch" + (s.dashed ? " dashed" : ""), style: `background:${colour}`}, item);
    item.append(s.name);
  });
  return box;
}
