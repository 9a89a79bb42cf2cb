// The vehicle behind the simulated px4ctrl: its state document and the
// mission it flies on a "kovo h1,h2,..." command. Standby (fs 2), take-off
// (fs 3, "takeoff"), per height "goto_height" then "hover_photo" (fs 4, one
// photo record each), "land_descend" (fs 6), standby again. Positions follow
// the phases (z negative upward); the task directory and the local photo
// files are really written.
'use strict';

const fs = require('fs');
const path = require('path');

const FS_STANDBY = 2;
const FS_TAKEOFF = 3;
const FS_EXECUTING = 4;
const FS_LANDING = 6;

// SOI, a JFIF header, a few bytes of body, EOI: enough to pass for a picture.
const PHOTO_BYTES = Buffer.from([0xff, 0xd8, 0xff, 0xe0, 0x00, 0x10, 0x4a, 0x46, 0x49, 0x46, 0x00,
  0x01, 0x01, 0x00, 0x00, 0x01, 0x00, 0x01, 0x00, 0x00, 0x6b, 0x6f, 0x76, 0x6f, 0xff, 0xd9]);

function stamp(date) {
  const p = (n) => String(n).padStart(2, '0');
  return `${date.getFullYear()}${p(date.getMonth() + 1)}${p(date.getDate())}_` +
    `${p(date.getHours())}${p(date.getMinutes())}${p(date.getSeconds())}`;
}

// The heights of a mission command, or null when it is not one.
function parseMissionCommand(text, prefix) {
  if (!text.startsWith(`${prefix} `)) return null;
  const parts = text.slice(prefix.length + 1).split(',');
  const heights = parts.map((s) => (/^\s*-?\d+(\.\d+)?\s*$/.test(s) ? Number(s) : NaN));
  return heights.length > 0 && heights.every(Number.isFinite) ? heights : null;
}

class Vehicle {
  // options: phases {takeoff, goto, hover, land} in ms, photoKind
  // ("local" | "siyi" | "both"), taskParent, reportTaskDir (reported instead
  // of the directory made), beforeCount, fs (initial code),
  // bigState (20 photo records from an earlier mission, for a ~1 KB document),
  // onEvent(event).
  constructor(options) {
    this.options = options;
    this.onEvent = options.onEvent;
    this.fs = options.fs;
    this.subState = 'idle';
    this.heightIdx = -1;
    this.photos = [];
    this.taskDir = '';
    this.battery = 96;
    this.z = 0;
    this.motion = null; // {from, to, start, ms} while z changes
    this.timer = null;
    this.missions = 0;
    this.overrides = {};
    this.cached = null;
    if (options.bigState) this.fillEarlierMission();
  }

  // Twenty records of an earlier mission: one local file before take-off,
  // then camera pictures.
  fillEarlierMission() {
    this.taskDir = path.join(this.options.taskParent, 'task_20250101_093000_0');
    this.photos.push({ id: 1, camera: 'onboard', local_path: path.join(this.taskDir, 'photo_0.jpg'), height_idx: 0 });
    for (let i = 1; i < 20; i++) this.photos.push({ id: i + 1, camera: 'siyi', height_idx: i });
  }

  flying() {
    return this.timer !== null;
  }

  // Starts a mission; false (with the reason) when it cannot start.
  startMission(heights) {
    if (this.flying()) return { ok: false, reason: 'mission in progress' };
    if (this.currentFs() !== FS_STANDBY) return { ok: false, reason: `fs ${this.currentFs()} is not standby` };
    this.missions += 1;
    this.overrides = {};
    this.heights = heights;
    this.photos = [];
    this.taskDir = path.join(this.options.taskParent, `task_${stamp(new Date())}_${this.missions}`);
    fs.mkdirSync(this.taskDir, { recursive: true });
    this.onEvent({ event: 'mission', heights, task_dir: this.taskDir });
    const steps = [{ fs: FS_TAKEOFF, sub: 'takeoff', idx: -1, ms: this.options.phases.takeoff, to: heights[0] }];
    heights.forEach((h, i) => {
      steps.push({ fs: FS_EXECUTING, sub: 'goto_height', idx: i, ms: this.options.phases.goto, to: h });
      steps.push({ fs: FS_EXECUTING, sub: 'hover_photo', idx: i, ms: this.options.phases.hover, to: h, photo: true });
    });
    steps.push({ fs: FS_LANDING, sub: 'land_descend', idx: heights.length - 1, ms: this.options.phases.land, to: 0 });
    steps.push({ fs: FS_STANDBY, sub: 'idle', idx: -1, ms: 0, to: 0 });
    this.runSteps(steps, 0);
    return { ok: true };
  }

  runSteps(steps, n) {
    const step = steps[n];
    this.fs = step.fs;
    this.subState = step.sub;
    this.heightIdx = step.idx;
    this.motion = step.ms > 0 && step.to !== this.z
      ? { from: this.z, to: step.to, start: Date.now(), ms: step.ms } : null;
    if (!this.motion) this.z = step.to;
    if (step.photo) this.takePhotos(step.idx);
    this.cached = null;
    this.onEvent({ event: 'phase', fs: step.fs, sub_state: step.sub, height_idx: step.idx });
    if (n + 1 >= steps.length) {
      this.timer = null;
      this.onEvent({ event: 'mission_done', photos: this.photos.length });
      return;
    }
    this.timer = setTimeout(() => {
      this.z = step.to;
      this.motion = null;
      this.battery = Math.max(this.battery - 1, 0);
      this.runSteps(steps, n + 1);
    }, step.ms);
  }

  takePhotos(idx) {
    const kinds = this.options.photoKind === 'both' ? ['onboard', 'siyi']
      : [this.options.photoKind === 'siyi' ? 'siyi' : 'onboard'];
    for (const camera of kinds) {
      const record = { id: this.photos.length + 1, camera, height_idx: idx };
      if (camera === 'onboard') {
        record.local_path = path.join(this.taskDir, `photo_${idx}.jpg`);
        fs.writeFileSync(record.local_path, PHOTO_BYTES);
      } else {
        // The camera numbers its pictures from 1, after those taken before take-off.
        record.image = idx + this.options.beforeCount + 1;
      }
      this.photos.push(record);
      this.onEvent({ event: 'photo', ...record });
    }
  }

  stop() {
    if (this.timer) clearTimeout(this.timer);
    this.timer = null;
  }

  // Test overrides of single fields (fs, sub_state, height_idx, online,
  // task_dir), kept until the next mission starts.
  override(fields) {
    Object.assign(this.overrides, fields);
    this.cached = null;
  }

  currentFs() {
    return this.overrides.fs !== undefined ? this.overrides.fs : this.fs;
  }

  currentZ() {
    if (!this.motion) return { z: this.z, vz: 0 };
    const m = this.motion;
    const f = Math.min((Date.now() - m.start) / m.ms, 1);
    return { z: m.from + (m.to - m.from) * f, vz: f < 1 ? ((m.from - m.to) * 1000) / m.ms : 0 };
  }

  // The state document; rebuilt only while something moves or changed.
  stateText() {
    if (this.cached !== null && !this.motion) return this.cached;
    const { z, vz } = this.currentZ();
    const round = (v) => Math.round(v * 1000) / 1000;
    const o = this.overrides;
    const pick = (key, value) => (o[key] !== undefined ? o[key] : value);
    const state = {
      fs: this.currentFs(),
      uav: {
        lpos: { x: 0.12, y: -0.05, z: round(-z), vx: 0, vy: 0, vz: round(vz) },
        atti: { p: 0.01, r: -0.02, y: 1.571 },
        bat: { remain: this.battery, vol: round(14.8 + this.battery * 0.014) },
        online: pick('online', true),
      },
      kovo: {
        sub_state: pick('sub_state', this.subState),
        height_idx: pick('height_idx', this.heightIdx),
        photos: this.photos.map(({ image, ...record }) => record),
        task_dir: pick('task_dir', this.options.reportTaskDir || this.taskDir),
        beforecount: this.options.beforeCount,
      },
    };
    this.cached = JSON.stringify(state);
    return this.cached;
  }
}

module.exports = { Vehicle, parseMissionCommand, FS_STANDBY };
