// Reads an MCAP recording with readers that share no code with the writer
// (@mcap/core, @mcap/support's decompressors, @foxglove/rosmsg and
// @foxglove/rosmsg2-serialization) and prints one JSON object of what it found:
//   node read_mcap.js FILE indexed   through the summary and the chunk indexes
//   node read_mcap.js FILE stream    record by record from the start, as far as the file goes
// Every channel's messages are decoded with the definition its schema carries.
"use strict";
const fs = require("fs");
const { McapIndexedReader, McapStreamReader } = require("@mcap/core");
const { FileHandleReadable } = require("@mcap/nodejs");
const { loadDecompressHandlers } = require("@mcap/support");
const { parse } = require("@foxglove/rosmsg");
const { MessageReader } = require("@foxglove/rosmsg2-serialization");

function stampOf(header) {
  return BigInt(header.stamp.sec) * 1000000000n + BigInt(header.stamp.nanosec);
}

function collector() {
  const readers = new Map();  // schema id -> MessageReader
  const schemas = new Map();
  const channels = new Map();
  const out = { schemas: {}, topics: {}, trailing: 0, stampMismatches: 0, messages: 0 };
  return {
    out,
    schema(schema) {
      schemas.set(schema.id, schema);
      const text = new TextDecoder().decode(schema.data);
      const definitions = parse(text, { ros2: true });
      readers.set(schema.id, new MessageReader(definitions));
      out.schemas[schema.name] = { encoding: schema.encoding, fields: definitions[0].definitions.map((f) => f.name) };
    },
    channel(channel) {
      channels.set(channel.id, channel);
    },
    message(message) {
      const channel = channels.get(message.channelId);
      const decoded = readers.get(channel.schemaId).readMessage(message.data);
      if (readers.get(channel.schemaId).lastReadHadTrailingBytes()) out.trailing += 1;
      if (decoded.header !== undefined && stampOf(decoded.header) !== message.logTime) out.stampMismatches += 1;
      out.messages += 1;
      const list = (out.topics[channel.topic] = out.topics[channel.topic] || []);
      list.push(flatten(channel.topic, decoded));
    },
  };
}

// The values each topic carries, in a compact form the test compares.
function flatten(topic, m) {
  const stamp = m.header ? [m.header.stamp.sec, m.header.stamp.nanosec, m.header.frame_id] : null;
  const xyz = (v) => [v.x, v.y, v.z];
  switch (topic) {
    case "/kivra/joint_states":
      return [stamp, m.name, Array.from(m.position), Array.from(m.velocity), Array.from(m.effort)];
    case "/kivra/pose":
      return [stamp, xyz(m.pose.position), [m.pose.orientation.x, m.pose.orientation.y, m.pose.orientation.z,
                                            m.pose.orientation.w]];
    case "/kivra/twist":
      return [stamp, xyz(m.twist.linear), xyz(m.twist.angular)];
    case "/kivra/wrench":
      return [stamp, xyz(m.wrench.force), xyz(m.wrench.torque)];
    case "/kivra/tick_timing":
      return [stamp, Number(m.tick), m.time, m.wakeup_lateness, m.exchange_time, m.outcome, xyz(m.host_force),
              m.effects_changes, m.scene_changes];
    case "/kivra/effects":
      return JSON.parse(m.data);
    case "/kivra/buttons":
      return [stamp, Array.from(m.axes), Array.from(m.buttons)];
    case "/kivra/orientation":
      return [stamp, [m.quaternion.x, m.quaternion.y, m.quaternion.z, m.quaternion.w]];
    default:  // diagnostics and identity
      return { stamp, status: m.status.map((s) => ({ level: s.level, name: s.name, message: s.message,
        hardware_id: s.hardware_id, values: Object.fromEntries(s.values.map((kv) => [kv.key, kv.value])) })) };
  }
}

async function readIndexed(path, decompressHandlers) {
  const handle = await fs.promises.open(path, "r");
  try {
    const reader = await McapIndexedReader.Initialize({ readable: new FileHandleReadable(handle), decompressHandlers });
    const c = collector();
    for (const schema of reader.schemasById.values()) c.schema(schema);
    for (const channel of reader.channelsById.values()) c.channel(channel);
    for await (const message of reader.readMessages()) c.message(message);
    const stats = reader.statistics;
    const byTopic = {};
    for (const [id, count] of stats.channelMessageCounts) byTopic[reader.channelsById.get(id).topic] = Number(count);
    c.out.summary = {
      messageCount: Number(stats.messageCount), schemaCount: stats.schemaCount, channelCount: stats.channelCount,
      chunkCount: stats.chunkCount, chunkIndexes: reader.chunkIndexes.length, channelMessageCounts: byTopic,
      compression: [...new Set(reader.chunkIndexes.map((chunk) => chunk.compression))],
    };
    return c.out;
  } finally {
    await handle.close();
  }
}

function readStream(path, decompressHandlers) {
  const reader = new McapStreamReader({ decompressHandlers, validateCrcs: true });
  reader.append(fs.readFileSync(path));
  const c = collector();
  let record;
  let error = null;
  try {
    while ((record = reader.nextRecord()) !== undefined) {
      if (record.type === "Schema") c.schema(record);
      else if (record.type === "Channel") c.channel(record);
      else if (record.type === "Message") c.message(record);
    }
  } catch (e) {
    error = String(e);
  }
  c.out.complete = reader.done();
  c.out.error = error;
  return c.out;
}

async function main() {
  const [path, mode] = process.argv.slice(2);
  const decompressHandlers = await loadDecompressHandlers();
  const out = mode === "stream" ? readStream(path, decompressHandlers) : await readIndexed(path, decompressHandlers);
  process.stdout.write(JSON.stringify(out, (key, value) => (typeof value === "bigint" ? Number(value) : value)));
}

main().catch((error) => {
  process.stderr.write(String(error && error.stack ? error.stack : error) + "\n");
  process.exit(1);
});
