// Shared by the three pages: requests, the seats' colours, the board in SVG
// and the pieces' shapes.

export const COLOURS = ["#2f6fde", "#e2b400", "#d6402f", "#2e9b4e"];
export const SEAT_NAMES = ["blue", "yellow", "red", "green"];
export const SIDE = 20;
const START_TILES = [0, 19, 399, 380];
const SVG = "http://www.w3.org/2000/svg";

export async function getJSON(url, options = {}) {
  const response = await fetch(url, options);
  const text = await response.text();
  const data = text ? JSON.parse(text) : {};
  if (!response.ok) throw new Error(data.error || `${response.status} ${response.statusText}`);
  return data;
}

export function postJSON(url, body) {
  return getJSON(url, {method: "POST", headers: {"Content-Type": "application/json"}, body: JSON.stringify(body)});
}

export function svg(tag, attributes = {}, parent = null) {
  const node = document.createElementNS(SVG, tag);
  for (const [key, value] of Object.entries(attributes)) node.setAttribute(key, value);
  if (parent) parent.appendChild(node);
  return node;
}

export function element(tag, attributes = {}, parent = null, text = null) {
  const node = document.createElement(tag);
  for (const [key, value] of Object.entries(attributes)) node.setAttribute(key, value);
  if (text !== null) node.textContent = text;
  if (parent) parent.appendChild(node);
  return node;
}

export function query(name) {
  return new URLSearchParams(location.search).get(name);
}

export function tileName(tile) {
  return `row ${Math.floor(tile / SIDE) + 1}, column ${tile % SIDE + 1}`;
}

// Who owns each tile after the first `count` moves of `moves` ([seat, tile, ...]).
export function owners(moves, count = moves.length) {
  const board = new Array(SIDE * SIDE).fill(-1);
  for (let i = 0; i < count; i++) board[moves[i][1]] = moves[i][0];
  return board;
}

// The 20 x 20 board: cells coloured by owner, an overlay for the search's
// visit shares, marks for legal places and a preview of a piece.
export class Board {
  constructor(parent, cell = 26) {
    this.cell = cell;
    const size = cell * SIDE;
    this.svg = svg("svg", {viewBox: `0 0 ${size} ${size}`, width: size, height: size, class: "board"}, parent);
    this.cells = [];
    for (let tile = 0; tile < SIDE * SIDE; tile++) {
      const [x, y] = [(tile % SIDE) * cell, Math.floor(tile / SIDE) * cell];
      const rect = svg("rect", {x, y, width: cell, height: cell, class: "cell", "data-tile": tile, "data-owner": -1},
                       this.svg);
      this.cells.push(rect);
    }
    START_TILES.forEach((tile, seat) => {
      const [x, y] = [(tile % SIDE + 0.5) * cell, (Math.floor(tile / SIDE) + 0.5) * cell];
      svg("circle", {cx: x, cy: y, r: cell * 0.18, class: "start", fill: COLOURS[seat]}, this.svg);
    });
    this.overlay = svg("g", {class: "overlay"}, this.svg);
  }

  xy(tile) {
    return [(tile % SIDE) * this.cell, Math.floor(tile / SIDE) * this.cell];
  }

  setOwners(board, last = []) {
    const recent = new Set(last);
    board.forEach((seat, tile) => {
      const rect = this.cells[tile];
      rect.setAttribute("data-owner", seat);
      rect.style.fill = seat >= 0 ? COLOURS[seat] : "";
      rect.classList.toggle("recent", recent.has(tile));
    });
  }

  clearOverlay() {
    this.overlay.replaceChildren();
  }

  // Shares ([tile, share] pairs) as a heat map over the legal tiles;
  // `chosen` is ringed; `what` names the shares in each tile's tooltip.
  heat(shares, chosen = null, what = "the visits") {
    const top = Math.max(1e-9, ...shares.map(([, s]) => s));
    for (const [tile, share] of shares) {
      const [x, y] = this.xy(tile);
      const rect = svg("rect", {x: x + 1, y: y + 1, width: this.cell - 2, height: this.cell - 2, class: "heat",
                                "data-tile": tile, "data-share": share,
                                "fill-opacity": (0.12 + 0.78 * share / top).toFixed(3)}, this.overlay);
      svg("title", {}, rect).textContent = `${(100 * share).toFixed(1)}% of ${what}`;
      if (share >= 0.05) {
        const label = svg("text", {x: x + this.cell / 2, y: y + this.cell * 0.66, class: "share"}, this.overlay);
        label.textContent = Math.round(100 * share);
      }
    }
    if (chosen !== null) this.ring(chosen);
  }

  ring(tile) {
    const [x, y] = this.xy(tile);
    svg("rect", {x: x + 2, y: y + 2, width: this.cell - 4, height: this.cell - 4, class: "chosen"}, this.overlay);
  }

  mark(tiles, className, attributes = () => ({})) {
    for (const tile of tiles) {
      const [x, y] = this.xy(tile);
      svg("rect", {x: x + 1, y: y + 1, width: this.cell - 2, height: this.cell - 2, class: className,
                   "data-tile": tile, ...attributes(tile)}, this.overlay);
    }
  }
}

// -- pieces -------------------------------------------------------------

export function normalise(cells) {
  const top = Math.min(...cells.map(([r]) => r));
  const left = Math.min(...cells.map(([, c]) => c));
  return cells.map(([r, c]) => [r - top, c - left]).sort((a, b) => a[0] - b[0] || a[1] - b[1]);
}

// A base shape after `turns` quarter turns clockwise, mirrored first when `flipped`.
export function orient(shape, turns, flipped) {
  let cells = shape.map(([r, c]) => [r, flipped ? -c : c]);
  for (let k = 0; k < turns; k++) cells = cells.map(([r, c]) => [c, -r]);
  return normalise(cells);
}

export function shapeKey(cells) {
  return normalise(cells).map(([r, c]) => `${r}.${c}`).join(" ");
}

export function tilesToCells(tiles) {
  return tiles.map((t) => [Math.floor(t / SIDE), t % SIDE]);
}

// A small picture of a shape.
export function pieceIcon(parent, cells, colour, cell = 9) {
  const rows = Math.max(...cells.map(([r]) => r)) + 1;
  const cols = Math.max(...cells.map(([, c]) => c)) + 1;
  const icon = svg("svg", {width: cols * cell, height: rows * cell, class: "piece-icon"}, parent);
  for (const [r, c] of cells) {
    svg("rect", {x: c * cell, y: r * cell, width: cell - 1, height: cell - 1, fill: colour}, icon);
  }
  return icon;
}

// The seats' panel: colour, player, score and remaining pieces.
export function drawSeats(parent, {seats, scores, remaining, pieces, mover = null, payoff = null}) {
  parent.replaceChildren();
  for (let seat = 0; seat < 4; seat++) {
    const box = element("div", {class: "seat" + (seat === mover ? " to-move" : ""), "data-seat": seat}, parent);
    const head = element("div", {class: "seat-head"}, box);
    element("span", {class: "swatch", style: `background:${COLOURS[seat]}`}, head);
    element("span", {class: "seat-name"}, head, `${seat} ${SEAT_NAMES[seat]}: ${seats ? seats[seat] : ""}`);
    element("span", {class: "score", "data-score": scores[seat]}, head, `score ${scores[seat]}`);
    if (payoff) {
      element("span", {class: "payoff", "data-payoff": payoff[seat]}, head, `payoff ${payoff[seat].toFixed(2)}`);
    }
    const tray = element("div", {class: "remaining"}, box);
    for (const piece of remaining[seat]) pieceIcon(tray, normalise(pieces[piece]), COLOURS[seat], 7);
  }
}

export function nav(current) {
  const bar = document.querySelector("nav");
  const run = query("run");
  for (const [page, label] of [["run", "Run"], ["games", "Games"], ["play", "Play"]]) {
    const link = element("a", {href: `/${page}${run !== null ? "?run=" + run : ""}`}, bar, label);
    if (page === current) link.classList.add("current");
  }
}

export function showError(error) {
  const box = document.getElementById("error");
  box.textContent = error ? String(error.message || error) : "";
  box.hidden = !error;
}
